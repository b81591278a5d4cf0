// harborlockd and harborlock-ctl as a user runs them: real processes, a real backup folder,
// the Quarnex simulator pushing and restoring over loopback TCP, restore questions answered
// (or left unanswered) through the control socket, signals for reload and stop.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CBFMRepository.h"
#include "Eventually.h"
#include "CBFMServer.h"
#include "OS_CFolderLock.h"
#include "Platform.h"
#include "TestSandbox.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The raw value of "name" in the JSON object that holds "server":"<server>" (objects here are
// flat), or "" when absent.
std::string JsonField(const std::string& json, const std::string& server, const std::string& name)
{
    const auto at = json.find("\"server\":\"" + server + "\"");
    if (at == std::string::npos)
        return "";
    const auto begin = json.rfind('{', at), end = json.find('}', at);
    const std::string object = json.substr(begin, end - begin);
    const auto key = object.find("\"" + name + "\":");
    if (key == std::string::npos)
        return "";
    const auto value = key + name.size() + 3;
    if (object[value] == '"')
        return object.substr(value + 1, object.find('"', value + 1) - value - 1);
    return object.substr(value, object.find_first_of(",}", value) - value);
}

// Bytes of the regular files below the directory named `name` somewhere under `root`.
std::uint64_t BytesBelow(const std::string& root, const std::string& name)
{
    namespace fs = std::filesystem;
    for (const fs::directory_entry& dir : fs::recursive_directory_iterator(root)) {
        if (!dir.is_directory() || dir.path().filename() != name)
            continue;
        std::uint64_t total = 0;
        for (const fs::directory_entry& f : fs::recursive_directory_iterator(dir.path()))
            if (f.is_regular_file() && !f.is_symlink())
                total += f.file_size();
        return total;
    }
    return 0;
}

int Count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// A child process with its output in files.
class Child {
public:
    ~Child()
    {
        if (m_pid > 0 && !m_ended) {
            ::kill(m_pid, SIGKILL);
            Wait(5);
        }
    }
    bool Spawn(std::vector<std::string> args, const std::vector<std::string>& env, const std::string& outPath,
               const std::string& errPath)
    {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStrings = env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            bool overridden = false;
            for (const std::string& o : env)
                overridden = overridden || o.rfind(name + "=", 0) == 0;
            if (!overridden)
                envStrings.push_back(entry);
        }
        std::vector<char*> envp;
        for (std::string& e : envStrings)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        m_ended = rc != 0;
        return rc == 0;
    }
    bool Running()
    {
        if (m_ended)
            return false;
        if (::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_ended = true;
        return !m_ended;
    }
    // Exit code, or -1 when it has not ended within `seconds` (it is killed then).
    int Wait(int seconds)
    {
        if (!testsupport::Eventually([this] { return !Running(); }, std::chrono::seconds(seconds))) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &m_status, 0);
            m_ended = true;
            return -1;
        }
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    }
    void Signal(int sig) { ::kill(m_pid, sig); }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_status = 0;
    bool m_ended = true;
};

class HarborlockdTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        home = SandboxPath("home");
        dataHome = home + "/data";
        runtime = SandboxPath("run");
        for (const std::string& d : {home, dataHome, runtime, dataHome + "/Quarnex",
                                     dataHome + "/Quarnex/Harborlock", ConfigDir()})
            hl::Os().CreateDirectory(d);
        ::chmod(runtime.c_str(), 0700);
        folder = home + "/HarborlockBackups";
        control = runtime + "/harborlockd.sock";
    }

    std::string DataRoot() const { return dataHome + "/Quarnex/Harborlock"; }
    std::string ConfigDir() const { return dataHome + "/Quarnex/Harborlock/Config"; }
    std::string SettingsPath() const { return ConfigDir() + "/Harborlock.cfg"; }
    std::string ActivityLog() const { return ReadFile(DataRoot() + "/log/activityLog.txt"); }
    std::vector<std::string> Env() const
    {
        std::vector<std::string> env = {"HOME=" + home, "XDG_DATA_HOME=" + dataHome, "XDG_RUNTIME_DIR=" + runtime,
                                         "NOTIFY_SOCKET=" + notifySocket};
        return env;
    }

    void WriteSettings(int port, const std::string& backupFolder)
    {
        WriteFile(SettingsPath(),
                  "BackupDataBasePath: " + backupFolder + "\r\nIPPort: " + std::to_string(port) + "\r\n" +
                      extraSettings);
    }

    // Starts a daemon on a free port of the served range (1025..8191), trying another port
    // when the one picked is taken. The daemon's own output goes to daemon.out/.err.
    bool StartDaemon(Child& child, std::vector<std::string> extra = {}, const std::string& tag = "daemon")
    {
        static std::mt19937 random(static_cast<unsigned>(::getpid()));
        for (int attempt = 0; attempt < 20; ++attempt) {
            port = std::uniform_int_distribution<int>(2000, 8000)(random);
            WriteSettings(port, folder);
            const int rc = SpawnDaemon(child, extra, tag);
            if (rc == 0)
                return true;
            if (rc != 5) // 5: the service did not start (the port is in use)
                return false;
        }
        return false;
    }

    // Spawns harborlockd and waits for its readiness line: 0 when ready, else its exit code.
    int SpawnDaemon(Child& child, std::vector<std::string> extra = {}, const std::string& tag = "daemon")
    {
        std::vector<std::string> args = {HARBORLOCKD_PATH};
        args.insert(args.end(), extra.begin(), extra.end());
        outPath = SandboxPath(tag + ".out");
        errPath = SandboxPath(tag + ".err");
        if (!child.Spawn(args, Env(), outPath, errPath))
            return -2;
        int code = -1;
        const bool settled = testsupport::Eventually(
            [&] {
                if (Contains(ReadFile(outPath), "harborlockd: ready"))
                    return true;
                if (!child.Running()) {
                    code = child.Wait(1);
                    return true;
                }
                return false;
            }, std::chrono::seconds(30));
        if (!settled)
            return -3;
        return Contains(ReadFile(outPath), "harborlockd: ready") ? 0 : code;
    }

    // Runs harborlock-ctl; its exit code, with standard output and error in `output`.
    int Ctl(const std::string& args)
    {
        const std::string out = SandboxPath("ctl.txt");
        const std::string cmd = std::string(HARBORLOCK_CTL_PATH) + " --control " + control + " " + args + " > " +
                                out + " 2>&1";
        const int rc = std::system(cmd.c_str());
        output = ReadFile(out);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    // Runs quarnex-sim against the daemon's port; its exit code, output in `output`.
    int Sim(const std::string& args, int onPort = 0)
    {
        const std::string out = SandboxPath("sim.txt");
        const std::string cmd = std::string(QUARNEX_SIM_PATH) + " " + args + " --port " +
                                std::to_string(onPort ? onPort : port) + " > " + out + " 2>&1";
        const int rc = std::system(cmd.c_str());
        output = ReadFile(out);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    // Starts quarnex-sim in the background (for conversations that wait for an answer).
    bool SimInBackground(Child& sim, const std::string& command, const std::vector<std::string>& args)
    {
        std::vector<std::string> all = {QUARNEX_SIM_PATH, command, "--port", std::to_string(port)};
        all.insert(all.end(), args.begin(), args.end());
        return sim.Spawn(all, {}, SandboxPath("bg.out"), SandboxPath("bg.err"));
    }

    // The service acknowledges DONE before it merges and commits; the activity log says when
    // the backup is saved and the service idle again.
    bool Saved(int backups)
    {
        return testsupport::Eventually([&] { return Count(ActivityLog(), "  Saving backup completed successfully\n") >= backups; }, std::chrono::seconds(30));
    }

    bool PromptWaiting()
    {
        return Ctl("--json prompts") == 0 && Contains(output, "\"id\":");
    }

    std::string home, dataHome, runtime, folder, control, outPath, errPath, output;
    // Further settings lines ("Name: value\r\n"), written with the port and folder.
    std::string extraSettings;
    // "" = not started by systemd (also keeps a NOTIFY_SOCKET of the test runner away).
    std::string notifySocket;
    int port = 0;
};

TEST(HarborlockdCommandLine, HelpVersionAndBadOptions)
{
    auto run = [](const std::string& cmd) {
        const int rc = std::system((cmd + " > /dev/null 2>&1").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    };
    EXPECT_EQ(run(std::string(HARBORLOCKD_PATH) + " --help"), 0);
    EXPECT_EQ(run(std::string(HARBORLOCKD_PATH) + " --version"), 0);
    EXPECT_EQ(run(std::string(HARBORLOCKD_PATH) + " --frobnicate"), 2);
    EXPECT_EQ(run(std::string(HARBORLOCKD_PATH) + " --prompt-timeout 0"), 2);
    EXPECT_EQ(run(std::string(HARBORLOCKD_PATH) + " --clock-offset 1d"), 2);
    EXPECT_EQ(run(std::string(HARBORLOCKD_PATH) + " --clock-offset 99999999999999999999"), 2);
    EXPECT_EQ(run(std::string(HARBORLOCK_CTL_PATH) + " --version"), 0);
    EXPECT_EQ(run(std::string(HARBORLOCK_CTL_PATH) + " frobnicate"), 2);
    EXPECT_EQ(run(std::string(HARBORLOCK_CTL_PATH) + " export 0001A2B3"), 2);
    // No daemon behind the socket.
    EXPECT_EQ(run(std::string(HARBORLOCK_CTL_PATH) + " --control /nonexistent/harborlockd.sock status"), 3);
}

TEST_F(HarborlockdTest, ServesFullAndIncrementalBackupsAndARestoreAcceptedThroughCtl)
{
    Child daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath);

    // The socket is the owner's alone.
    struct stat st {};
    ASSERT_EQ(::stat(control.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_EQ(Ctl("status"), 0) << output;
    EXPECT_TRUE(Contains(output, "State: Idle")) << output;
    EXPECT_TRUE(Contains(output, "listening on TCP port " + std::to_string(port))) << output;
    EXPECT_TRUE(Contains(output, "Backup folder: " + folder)) << output;

    const std::string model = SandboxPath("model.img");
    ASSERT_EQ(Sim("push --serial 0x1A2B3 --full --clusters 300 --cluster-size 1024 --scratch-percent 30 "
                  "--vary-lengths --seed 4 --params 1,2,3 --model " + model), 0) << output;
    // Incrementals are always allowed for this server (what the backup options dialog saves,
    // which it can only do once the service is idle again: the commit rewrites server.cfg).
    ASSERT_TRUE(Saved(1));
    CBFMRepository::GetServer(folder, "0001A2B3")->SetForceFullType(CBFMServer::Never);
    ASSERT_EQ(Sim("push --serial 0x1A2B3 --incremental --clusters 80 --cluster-size 1024 --first-block 100 "
                  "--block-step 2 --scratch-percent 50 --seed 5 --params 1,2,3 --model " + model), 0) << output;
    ASSERT_TRUE(Saved(2)) << ActivityLog();

    ASSERT_EQ(Ctl("backups 0001A2B3"), 0) << output;
    EXPECT_EQ(Count(output, "0001A2B3  "), 1) << output; // the incremental was merged into the full one
    ASSERT_EQ(Ctl("--json servers"), 0);
    EXPECT_EQ(Count(output, "\"server\":"), 1) << output;
    EXPECT_TRUE(Contains(output, "\"server\":\"0001A2B3\"")) << output;
    EXPECT_EQ(Ctl("backups 00000009"), 1);

    // The inquiry waits for the user: nothing is answered until harborlock-ctl accepts.
    Child inquiry;
    ASSERT_TRUE(SimInBackground(inquiry, "inquire", {"--serial", "0x1A2B3"}));
    ASSERT_TRUE(testsupport::Eventually([&] { return PromptWaiting(); }, std::chrono::seconds(30))) << output;
    EXPECT_TRUE(Contains(output, "\"requestingServer\":\"0001A2B3\"")) << output;
    ASSERT_EQ(Ctl("prompts"), 0);
    EXPECT_TRUE(Contains(output, "Restore request 1: Quarnex Server ID:0001A2B3")) << output;
    EXPECT_TRUE(inquiry.Running());
    EXPECT_EQ(Ctl("accept 7"), 1) << output; // not the waiting request
    ASSERT_EQ(Ctl("accept 1"), 0) << output;
    EXPECT_TRUE(Contains(output, "accepted")) << output;
    ASSERT_EQ(inquiry.Wait(60), 0) << ReadFile(SandboxPath("bg.out")) << ReadFile(SandboxPath("bg.err"));
    EXPECT_TRUE(Contains(ReadFile(SandboxPath("bg.out")), "response 0x00000000")) << ReadFile(SandboxPath("bg.out"));

    // The restore itself brings back exactly what the simulator pushed.
    ASSERT_EQ(Sim("restore --serial 0x1A2B3 --check " + model), 0) << output;
    EXPECT_TRUE(Contains(output, "restore matches what was pushed")) << output;

    daemon.Signal(SIGTERM);
    ASSERT_EQ(daemon.Wait(60), 0) << ReadFile(errPath);

    // The window's lines, written by the service side.
    const std::string log = ActivityLog();
    EXPECT_EQ(Count(log, "  Backup initated from Quarnex Server ID: 0001A2B3\n"), 2) << log;
    EXPECT_EQ(Count(log, "  Started backup transfer from Quarnex Server ID: 0001A2B3 of estimated size "), 2) << log;
    EXPECT_EQ(Count(log, "  Backup folder is " + folder + "\n"), 2) << log;
    EXPECT_EQ(Count(log, "  Saving backup completed successfully\n"), 2) << log;
    EXPECT_EQ(Count(log, "  Request to restore Quarnex Server ID:0001A2B3 using backup from Quarnex Server "
                         "ID:0001A2B3 dated "), 1) << log;
    EXPECT_TRUE(Contains(log, " accepted\n")) << log;
    EXPECT_TRUE(Contains(log, "  Restore transfer completed successfully\n")) << log;
    EXPECT_FALSE(Contains(log, "failed")) << log;
    // The same debug log as the window's, and the control socket is gone after the stop.
    EXPECT_TRUE(Contains(ReadFile(DataRoot() + "/log/quarnexLog.txt"), "Accepting connections on port"));
    EXPECT_FALSE(hl::Os().PathExists(control));
}

TEST_F(HarborlockdTest, RestoreRequestIsRejectedWhenNoAnswerComesOrCtlRejects)
{
    Child daemon;
    ASSERT_TRUE(StartDaemon(daemon, {"--prompt-timeout", "1"})) << ReadFile(errPath);
    ASSERT_EQ(Sim("push --serial 0x77 --full --clusters 20 --cluster-size 512"), 0) << output;

    EXPECT_EQ(Ctl("reject"), 1);
    EXPECT_TRUE(Contains(output, "No restore request is waiting.")) << output;

    // Nobody answers: the request is rejected after the time-out and the server told so.
    EXPECT_EQ(Sim("inquire --serial 0x77"), 1) << output;
    EXPECT_FALSE(Contains(output, "response 0x00000000")) << output;
    EXPECT_EQ(Ctl("--json prompts"), 0);
    EXPECT_EQ(output, "{\"prompts\":[]}\n");

    // Answered with reject (before the time-out runs out, which it may not in a slow run:
    // either way the request ends rejected).
    Child inquiry;
    ASSERT_TRUE(SimInBackground(inquiry, "inquire", {"--serial", "0x77"}));
    if (testsupport::Eventually([&] { return PromptWaiting(); }, std::chrono::seconds(30)))
        Ctl("reject");
    EXPECT_EQ(inquiry.Wait(60), 1);

    daemon.Signal(SIGINT);
    ASSERT_EQ(daemon.Wait(60), 0) << ReadFile(errPath);
    const std::string log = ActivityLog();
    EXPECT_EQ(Count(log, "Request to restore Quarnex Server ID:00000077 using backup from Quarnex Server "
                         "ID:00000077 dated "), 2) << log;
    EXPECT_EQ(Count(log, " rejected\n"), 2) << log;
    EXPECT_FALSE(Contains(log, " accepted\n")) << log;
}

// A stop while a restore question waits: the question is rejected at once (no one is left to
// answer it), so the worker asking it ends and the service stops well inside its time-outs.
TEST_F(HarborlockdTest, StopWhileARestoreRequestWaitsRejectsItAndEndsCleanly)
{
    Child daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath); // the designed 90 s to answer
    ASSERT_EQ(Sim("push --serial 0x55 --full --clusters 20 --cluster-size 512"), 0) << output;
    Child inquiry;
    ASSERT_TRUE(SimInBackground(inquiry, "inquire", {"--serial", "0x55"}));
    ASSERT_TRUE(testsupport::Eventually([&] { return PromptWaiting(); }, std::chrono::seconds(30))) << output;

    const auto stopAsked = Clock::now();
    daemon.Signal(SIGTERM);
    ASSERT_EQ(daemon.Wait(60), 0) << ReadFile(errPath);
    // Well below the 90 s question and the 30 s thread stop: nothing waited for a time-out.
    EXPECT_LT(Clock::now() - stopAsked, std::chrono::seconds(20));
    EXPECT_EQ(inquiry.Wait(30), 1);
    const std::string log = ActivityLog();
    EXPECT_TRUE(Contains(log, "Request to restore Quarnex Server ID:00000055 using backup from Quarnex Server "
                              "ID:00000055 dated ")) << log;
    EXPECT_TRUE(Contains(log, " rejected\n")) << log;
    EXPECT_FALSE(Contains(log, "Error stopping backup service")) << log;
}

TEST_F(HarborlockdTest, SighupRereadsTheSettingsAndSigtermStopsCleanly)
{
    Child daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath);
    const int oldPort = port;
    const std::string oldFolder = folder;

    // Nothing changed: the service keeps running on its port.
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(testsupport::Eventually([&] { return Count(ReadFile(outPath), "settings read") == 1; }, std::chrono::seconds(30)));
    EXPECT_EQ(Sim("ping"), 0) << output;

    // A new port and a new folder.
    const std::string newFolder = SandboxPath("elsewhere");
    int newPort = oldPort == 8000 ? 7999 : oldPort + 1;
    WriteSettings(newPort, newFolder);
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(testsupport::Eventually([&] { return Count(ReadFile(outPath), "settings read") == 2; }, std::chrono::seconds(30))) << ReadFile(errPath);
    if (!Contains(ReadFile(outPath), "TCP port " + std::to_string(newPort) + ",")) {
        // The neighbouring port was taken on this machine: the daemon says the service did
        // not start, and that is all this run can show about the port.
        EXPECT_TRUE(Contains(ActivityLog(), "Error starting backup service")) << ActivityLog();
        newPort = 0;
    }
    ASSERT_EQ(Ctl("--json status"), 0);
    EXPECT_TRUE(Contains(output, "\"folder\":\"" + newFolder + "\"")) << output;
    if (newPort) {
        EXPECT_TRUE(Contains(output, "\"port\":" + std::to_string(newPort))) << output;
        EXPECT_EQ(Sim("push --serial 0x31 --full --clusters 10 --cluster-size 512", newPort), 0) << output;
        EXPECT_TRUE(hl::Os().DirectoryExists(newFolder + "/00000031"));
        EXPECT_NE(Sim("ping", oldPort), 0);
    }

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
    Child daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath);

    // Another program holds the port the settings now name.
    int busyPort = 0, blocker = -1;
    for (int p = port + 1; p <= 8191 && blocker < 0; ++p) {
        blocker = hl::Os().Listen(static_cast<std::uint16_t>(p), 4);
        busyPort = p;
    }
    ASSERT_GE(blocker, 0);
    WriteSettings(busyPort, folder);
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(testsupport::Eventually([&] { return Count(ReadFile(outPath), "settings read") == 1; }, std::chrono::seconds(30)));
    EXPECT_TRUE(Contains(ActivityLog(), "  Error starting backup service\n")) << ActivityLog();
    ASSERT_EQ(Ctl("status"), 0);
    EXPECT_TRUE(Contains(output, "Service: stopped")) << output;

    // The port is free again: a re-read with unchanged settings starts the service.
    hl::Os().Close(blocker);
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(testsupport::Eventually([&] { return Count(ReadFile(outPath), "settings read") == 2; }, std::chrono::seconds(30)));
    ASSERT_EQ(Ctl("status"), 0);
    EXPECT_TRUE(Contains(output, "listening on TCP port " + std::to_string(busyPort))) << output;
    EXPECT_EQ(Sim("ping", busyPort), 0) << output;

    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(60), 0);
}

TEST_F(HarborlockdTest, SecondProgramOnOneBackupFolderIsRefused)
{
    Child first;
    ASSERT_TRUE(StartDaemon(first)) << ReadFile(errPath);

    // A second daemon on the same settings (another control socket, so that only the folder
    // stands in its way) says who serves the folder and stops.
    Child second;
    EXPECT_EQ(SpawnDaemon(second, {"--control", runtime + "/second.sock"}, "second"), 3);
    EXPECT_TRUE(Contains(ReadFile(errPath), "is already served by harborlockd (process " +
                                                std::to_string(first.Pid()) + ")"))
        << ReadFile(errPath);
    first.Signal(SIGTERM);
    ASSERT_EQ(first.Wait(60), 0);

    // A folder the window holds: the daemon does not even open the repository there.
    const std::string windowFolder = SandboxPath("window-folder");
    OS_CFolderLock window;
    ASSERT_EQ(window.Acquire(windowFolder, ConfigDir(), "Harborlock"), OS_CFolderLock::Result::Locked);
    WriteSettings(5999, windowFolder);
    Child third;
    EXPECT_EQ(SpawnDaemon(third, {}, "third"), 3);
    EXPECT_TRUE(Contains(ReadFile(errPath), "already served by Harborlock (process")) << ReadFile(errPath);
    EXPECT_FALSE(hl::Os().PathExists(windowFolder));
}

TEST_F(HarborlockdTest, ExportImportAndDeleteReportTheDesignedResults)
{
    Child daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath);
    ASSERT_EQ(Sim("push --serial 0x1A2B3 --full --clusters 40 --cluster-size 1024"), 0) << output;
    ASSERT_TRUE(Saved(1)) << ActivityLog();
    ASSERT_EQ(Ctl("--json backups 0001A2B3"), 0) << output;
    const auto at = output.find("\"backup\":\"");
    ASSERT_NE(at, std::string::npos) << output;
    const std::string backupId = output.substr(at + 10, output.find('"', at + 10) - at - 10);

    const std::string exports = SandboxPath("exports");
    hl::Os().CreateDirectory(exports);
    EXPECT_EQ(Ctl("export 0001A2B3 " + backupId + " " + SandboxPath("missing") + " x"), 1);
    EXPECT_EQ(output, "The export folder doesn't exist\n");
    ASSERT_EQ(Ctl("export 0001A2B3 " + backupId + " " + exports + " copy"), 0) << output;
    EXPECT_EQ(output, "Export of backup completed successfully\n");
    EXPECT_EQ(Ctl("export 0001A2B3 " + backupId + " " + exports + " copy"), 1);
    EXPECT_EQ(output, "The export name is invalid.\n" + exports + "/copy already exists.\n");

    // Importing what is still stored: the designed code 12 and its text.
    EXPECT_EQ(Ctl("--json import " + exports + "/copy"), 1) << output;
    EXPECT_EQ(output, "{\"result\":\"failed\",\"code\":12,\"text\":\"Backup selected for import already exists in "
                      "Harborlock.\"}\n");
    // Not an export at all: code 9.
    const std::string empty = SandboxPath("empty");
    hl::Os().CreateDirectory(empty);
    EXPECT_EQ(Ctl("import " + empty), 1);
    EXPECT_EQ(output, "Backup selected for import is not a valid Harborlock backup.\nImport of backup failed.\n");

    EXPECT_EQ(Ctl("delete 0001A2B3 99999"), 1);
    ASSERT_EQ(Ctl("delete 0001A2B3 " + backupId), 0) << output;
    EXPECT_EQ(output.rfind("Delete of backup \"Quarnex Server ID: 0001A2B3    ", 0), 0u) << output;
    EXPECT_EQ(Ctl("backups"), 0);
    EXPECT_EQ(output, "There are no Harborlock backups\n");
    ASSERT_EQ(Ctl("import " + exports + "/copy"), 0) << output;
    ASSERT_EQ(Ctl("backups 0001A2B3"), 0);
    EXPECT_TRUE(Contains(output, "0001A2B3  " + backupId + "  ")) << output;

    daemon.Signal(SIGTERM);
    ASSERT_EQ(daemon.Wait(60), 0);
    const std::string log = ActivityLog();
    EXPECT_TRUE(Contains(log, "\" to " + exports + "/copy  of size 0 MBytes started\n")) << log;
    EXPECT_EQ(Count(log, "  Export of backup completed successfully\n"), 1) << log;
    EXPECT_EQ(Count(log, "  Backup selected for import already exists in Harborlock.\n"), 1) << log;
    EXPECT_EQ(Count(log, "  Import of backup failed\n"), 2) << log;
    EXPECT_EQ(Count(log, "  Import of backup completed successfully\n"), 1) << log;
    EXPECT_TRUE(Contains(log, "\" completed successfully\n")) << log; // the delete line
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
            }, std::chrono::seconds(30));
    };

    Child daemon;
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

TEST_F(HarborlockdTest, ServersListsEachServerAndQuietServersAreAnnouncedOncePastTheirLimit)
{
    // The daemon's clock runs a day and a half ahead: past server 0000BEEF's one-day limit,
    // short of the default two days of 0001A2B3.
    extraSettings = "ServerWarnDays-0000BEEF: 1\r\n";
    Child daemon;
    ASSERT_TRUE(StartDaemon(daemon, {"--clock-offset", "129600"})) << ReadFile(errPath);
    ASSERT_EQ(Ctl("servers"), 0) << output;
    EXPECT_TRUE(Contains(output, "No Quarnex server")) << output;

    const std::int64_t before = std::time(nullptr);
    const std::string modelA = SandboxPath("a.img"), modelB = SandboxPath("b.img");
    ASSERT_EQ(Sim("push --serial 0x1A2B3 --full --clusters 200 --cluster-size 1024 --seed 1 --model " + modelA), 0)
        << output;
    ASSERT_TRUE(Saved(1));
    ASSERT_EQ(Sim("push --serial 0xBEEF --full --clusters 90 --cluster-size 2048 --seed 2 --model " + modelB), 0)
        << output;
    ASSERT_TRUE(Saved(2));
    const std::int64_t after = std::time(nullptr);

    // The check after the backup finds 0000BEEF quiet, and only it.
    ASSERT_TRUE(testsupport::Eventually([&] { return Ctl("status") == 0 && Contains(output, "No recent backup: 0000BEEF ("); }, std::chrono::seconds(30)))
        << output;
    ASSERT_EQ(Ctl("--json status"), 0);
    EXPECT_TRUE(Contains(output, "\"quietServers\":[\"0000BEEF\"]")) << output;

    ASSERT_EQ(Ctl("--json servers"), 0) << output;
    const std::string json = output;
    ASSERT_EQ(Ctl("servers"), 0) << output;
    const std::string text = output;
    const struct {
        std::string id, model, state, stateText;
    } expected[] = {{"0001A2B3", modelA, "ok", "OK"},
                    {"0000BEEF", modelB, "overdue", "No backup for more than 1 day"}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.id);
        const std::int64_t date = std::atoll(JsonField(json, e.id, "lastBackup").c_str());
        EXPECT_GE(date, before) << json;
        EXPECT_LE(date, after) << json;
        EXPECT_EQ(JsonField(json, e.id, "backups"), "1") << json;
        EXPECT_EQ(JsonField(json, e.id, "imageBytes"), std::to_string(std::filesystem::file_size(e.model))) << json;
        const std::uint64_t disk = BytesBelow(folder, e.id);
        EXPECT_GT(disk, std::filesystem::file_size(e.model));
        EXPECT_EQ(JsonField(json, e.id, "diskBytes"), std::to_string(disk)) << json;
        EXPECT_EQ(JsonField(json, e.id, "state"), e.state) << json;
        EXPECT_EQ(JsonField(json, e.id, "stateText"), e.stateText) << json;
        // One text row per server with the same date, count, size and state.
        const auto row = text.find(e.id + "  ");
        ASSERT_NE(row, std::string::npos) << text;
        const std::string line = text.substr(row, text.find('\n', row) - row);
        const std::string dateText = JsonField(json, e.id, "lastBackupText");
        EXPECT_FALSE(dateText.empty());
        EXPECT_TRUE(Contains(line, "  " + dateText + "  ")) << line;
        EXPECT_TRUE(Contains(line, "  1  ")) << line;
        char size[32];
        std::snprintf(size, sizeof size, "%.1f KiB", static_cast<double>(disk) / 1024.0);
        EXPECT_TRUE(Contains(line, size)) << line << " / " << size;
        EXPECT_TRUE(Contains(line, e.stateText)) << line;
    }
    EXPECT_EQ(Count(text, "\n"), 3) << text; // heading and two rows

    // More checks (a re-read of the settings) do not repeat the warning.
    const std::string quietB = "  No backup from Quarnex Server ID: 0000BEEF for 1 day.\n";
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(testsupport::Eventually([&] { return Count(ReadFile(outPath), "settings read") == 1; }, std::chrono::seconds(30)));
    EXPECT_EQ(Count(ActivityLog(), quietB), 1) << ActivityLog();
    EXPECT_EQ(Count(ActivityLog(), "No backup from"), 1) << ActivityLog();

    // A changed limit is a new warning: 0001A2B3 now has one day as well.
    extraSettings += "ServerWarnDays-0001A2B3: 1\r\n";
    WriteSettings(port, folder);
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(testsupport::Eventually([&] { return Count(ReadFile(outPath), "settings read") == 2; }, std::chrono::seconds(30)));
    ASSERT_EQ(Ctl("status"), 0);
    EXPECT_TRUE(Contains(output, "No recent backup: 0000BEEF, 0001A2B3 (")) << output;
    EXPECT_EQ(Count(ActivityLog(), "  No backup from Quarnex Server ID: 0001A2B3 for 1 day.\n"), 1) << ActivityLog();
    EXPECT_EQ(Count(ActivityLog(), quietB), 1) << ActivityLog();

    // So is a new backup that is still (by this clock) older than the limit.
    ASSERT_EQ(Sim("push --serial 0xBEEF --full --clusters 90 --cluster-size 2048 --seed 3"), 0) << output;
    ASSERT_TRUE(Saved(3));
    ASSERT_TRUE(testsupport::Eventually([&] { return Count(ActivityLog(), quietB) == 2; }, std::chrono::seconds(30))) << ActivityLog();

    daemon.Signal(SIGTERM);
    ASSERT_EQ(daemon.Wait(60), 0) << ReadFile(errPath);
    const std::string debugLog = ReadFile(DataRoot() + "/log/quarnexLog.txt");
    EXPECT_EQ(Count(debugLog, "server 0000BEEF is quiet"), 2) << debugLog;
    EXPECT_EQ(Count(debugLog, "server 0001A2B3 is quiet"), 1) << debugLog;

    // On the true clock nothing is past its limit: no warning, none written.
    const std::string logBefore = ActivityLog();
    Child fresh;
    ASSERT_TRUE(StartDaemon(fresh, {}, "fresh")) << ReadFile(errPath);
    ASSERT_EQ(Ctl("--json status"), 0);
    EXPECT_TRUE(Contains(output, "\"quietServers\":[]")) << output;
    ASSERT_EQ(Ctl("--json servers"), 0);
    EXPECT_EQ(Count(output, "\"state\":\"ok\""), 2) << output;
    fresh.Signal(SIGTERM);
    ASSERT_EQ(fresh.Wait(60), 0) << ReadFile(errPath);
    EXPECT_EQ(Count(ActivityLog(), "No backup from"), Count(logBefore, "No backup from")) << ActivityLog();
}
