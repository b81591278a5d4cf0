// harborlockd's settings and signals: SIGHUP re-reads the settings (a new port and folder, a
// service that could not start started again), SIGTERM stops cleanly, a backup folder is
// served by one program at a time, and systemd hears of readiness, reloads and the stop.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <string>

#include "Eventually.h"
#include "HarborlockdFixture.h"
#include "OS_CFolderLock.h"
#include "Platform.h"
#include "ServedPort.h"

namespace {

TEST_F(HarborlockdTest, SighupRereadsTheSettingsAndSigtermStopsCleanly)
{
    ChildProcess daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath);
    const int oldPort = port;
    const std::string oldFolder = folder;

    // Nothing changed: the service keeps running on its port.
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(SettingsRead(1));
    EXPECT_EQ(Sim("ping"), 0) << output;

    // A new port and a new folder. A port another process holds leaves the service stopped
    // (the daemon says so on its settings line): the next re-read names another.
    const std::string newFolder = SandboxPath("elsewhere");
    int reads = 1;
    bool unread = false;
    const int newPort = testsupport::StartOnServedPort([&](int candidate) {
        if (candidate == oldPort)
            return false;
        WriteSettings(candidate, newFolder);
        daemon.Signal(SIGHUP);
        unread = !SettingsRead(++reads);
        return unread ||
               Contains(ReadFile(outPath), "settings read, TCP port " + std::to_string(candidate) + ",");
    });
    ASSERT_FALSE(unread) << ReadFile(errPath);
    ASSERT_GT(newPort, 0) << ReadFile(outPath);
    ASSERT_EQ(Ctl("--json status"), 0);
    EXPECT_TRUE(Contains(output, "\"folder\":\"" + newFolder + "\"")) << output;
    EXPECT_TRUE(Contains(output, "\"port\":" + std::to_string(newPort))) << output;
    EXPECT_EQ(Sim("push --serial 0x31 --full --clusters 10 --cluster-size 512", newPort), 0) << output;
    EXPECT_TRUE(hl::Os().DirectoryExists(newFolder + "/00000031"));
    EXPECT_NE(Sim("ping", oldPort), 0);

    // The old folder is free again, the new one is held.
    OS_CFolderLock probe;
    EXPECT_EQ(probe.Acquire(oldFolder, ConfigDir(), "test"), OS_CFolderLock::Result::Locked);
    probe.Release();
    EXPECT_EQ(probe.Acquire(newFolder, ConfigDir(), "test"), OS_CFolderLock::Result::HeldElsewhere);
    EXPECT_EQ(probe.Holder(), "harborlockd (process " + std::to_string(daemon.Pid()) + ")");

    daemon.Signal(SIGTERM);
    ASSERT_EQ(daemon.Wait(60), 0) << ReadFile(errPath);
    EXPECT_FALSE(hl::Os().PathExists(control));
    EXPECT_EQ(probe.Acquire(newFolder, ConfigDir(), "test"), OS_CFolderLock::Result::Locked);
    const std::string debugLog = ReadFile(DataRoot() + "/log/quarnexLog.txt");
    EXPECT_TRUE(Contains(debugLog, "Good Bye!")) << debugLog;
}

TEST_F(HarborlockdTest, SighupStartsAgainAServiceThatCouldNotStart)
{
    ChildProcess daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath);

    // Another program holds the port the settings now name.
    const testsupport::HeldPort busy = testsupport::HoldServedPort();
    ASSERT_GE(busy.socket, 0);
    const int busyPort = busy.port;
    WriteSettings(busyPort, folder);
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(SettingsRead(1));
    EXPECT_TRUE(Contains(ActivityLog(), "  Error starting backup service\n")) << ActivityLog();
    ASSERT_EQ(Ctl("status"), 0);
    EXPECT_TRUE(Contains(output, "Service: stopped")) << output;

    // The port is free again: a re-read with unchanged settings starts the service.
    hl::Os().Close(busy.socket);
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(SettingsRead(2));
    ASSERT_EQ(Ctl("status"), 0);
    EXPECT_TRUE(Contains(output, "listening on TCP port " + std::to_string(busyPort))) << output;
    EXPECT_EQ(Sim("ping", busyPort), 0) << output;

    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(60), 0);
}

TEST_F(HarborlockdTest, SecondProgramOnOneBackupFolderIsRefused)
{
    ChildProcess first;
    ASSERT_TRUE(StartDaemon(first)) << ReadFile(errPath);

    // A second daemon on the same settings (another control socket, so that only the folder
    // stands in its way) says who serves the folder and stops.
    ChildProcess second;
    EXPECT_EQ(SpawnDaemon(second, {"--control", runtime + "/second.sock"}, "second"), 3);
    EXPECT_TRUE(Contains(ReadFile(errPath),
                         "is already served by harborlockd (process " + std::to_string(first.Pid()) + ")"))
        << ReadFile(errPath);
    first.Signal(SIGTERM);
    ASSERT_EQ(first.Wait(60), 0);

    // A folder the window holds: the daemon does not even open the repository there.
    const std::string windowFolder = SandboxPath("window-folder");
    OS_CFolderLock window;
    ASSERT_EQ(window.Acquire(windowFolder, ConfigDir(), "Harborlock"), OS_CFolderLock::Result::Locked);
    WriteSettings(5999, windowFolder);
    ChildProcess third;
    EXPECT_EQ(SpawnDaemon(third, {}, "third"), 3);
    EXPECT_TRUE(Contains(ReadFile(errPath), "already served by Harborlock (process")) << ReadFile(errPath);
    EXPECT_FALSE(hl::Os().PathExists(windowFolder));
}

// What systemd's notify socket receives: readiness once the service listens, reloading and
// ready again around a re-read of the settings, stopping at the end.
TEST_F(HarborlockdTest, TellsSystemdWhenReadyReloadingAndStopping)
{
#ifndef HARBORLOCK_HAVE_SYSTEMD
    GTEST_SKIP() << "built without libsystemd";
#endif
    notifySocket = SandboxPath("notify.sock");
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(notifySocket.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, notifySocket.c_str(), notifySocket.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    // Messages until one holds `part` (or 30 s pass).
    std::string seen;
    auto until = [&](const std::string& part) {
        return testsupport::Eventually(
            [&] {
                pollfd p{fd, POLLIN, 0};
                while (::poll(&p, 1, 0) == 1) {
                    char buf[1024];
                    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                    if (n > 0)
                        seen += std::string(buf, static_cast<std::size_t>(n)) + "|";
                }
                return Contains(seen, part);
            },
            std::chrono::seconds(30));
    };

    ChildProcess daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath);
    ASSERT_TRUE(until("READY=1")) << seen;
    EXPECT_TRUE(Contains(seen, "STATUS=Idle, TCP port " + std::to_string(port))) << seen;
    seen.clear();
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(until("READY=1")) << seen;
    EXPECT_LT(seen.find("RELOADING=1"), seen.find("READY=1")) << seen;
    seen.clear();
    daemon.Signal(SIGTERM);
    EXPECT_TRUE(until("STOPPING=1")) << seen;
    EXPECT_EQ(daemon.Wait(60), 0);
    ::close(fd);
}

} // namespace
