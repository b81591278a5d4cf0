// `harborlock-ctl verify` against a running harborlockd: real processes, a backup pushed by the
// simulator over loopback, the stored image then damaged on disk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "Eventually.h"
#include "Platform.h"
#include "TestSandbox.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class HarborlockdVerifyTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        home = SandboxPath("home");
        const std::string data = home + "/data";
        runtime = SandboxPath("run");
        for (const std::string& d : {home, data, runtime, data + "/Quarnex", DataRoot(), DataRoot() + "/Config"})
            hl::Os().CreateDirectory(d);
        ::chmod(runtime.c_str(), 0700);
        folder = home + "/HarborlockBackups";
        control = runtime + "/harborlockd.sock";
    }

    void TearDown() override
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            int status = 0;
            const bool ended = testsupport::Eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                                                       std::chrono::seconds(30));
            if (!ended) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
            EXPECT_TRUE(ended) << "harborlockd did not stop on SIGTERM";
        }
        SandboxTest::TearDown();
    }

    std::string DataRoot() const { return home + "/data/Quarnex/Harborlock"; }
    std::string ActivityLog() const { return ReadFile(DataRoot() + "/log/activityLog.txt"); }

    // harborlockd on a free port of the served range, another one tried when it is taken.
    bool StartDaemon()
    {
        std::mt19937 random(static_cast<unsigned>(::getpid()));
        for (int attempt = 0; attempt < 20; ++attempt) {
            port = std::uniform_int_distribution<int>(2000, 8000)(random);
            WriteFile(DataRoot() + "/Config/Harborlock.cfg",
                      "BackupDataBasePath: " + folder + "\r\nIPPort: " + std::to_string(port) + "\r\n");
            std::vector<std::string> env = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                                            "XDG_RUNTIME_DIR=" + runtime, "NOTIFY_SOCKET="};
            for (char** e = environ; *e; ++e) {
                const std::string entry = *e;
                if (entry.rfind("HOME=", 0) && entry.rfind("XDG_DATA_HOME=", 0) && entry.rfind("XDG_RUNTIME_DIR=", 0) &&
                    entry.rfind("NOTIFY_SOCKET=", 0))
                    env.push_back(entry);
            }
            std::vector<char*> envp;
            for (std::string& e : env)
                envp.push_back(e.data());
            envp.push_back(nullptr);
            std::string path = HARBORLOCKD_PATH;
            char* argv[] = {path.data(), nullptr};
            const std::string out = SandboxPath("daemon.out");
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_addopen(&actions, 2, SandboxPath("daemon.err").c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
            posix_spawn_file_actions_destroy(&actions);
            if (rc != 0)
                return false;
            int status = 0;
            bool exited = false;
            const bool settled = testsupport::Eventually(
                [&] {
                    if (Contains(ReadFile(out), "harborlockd: ready"))
                        return true;
                    exited = ::waitpid(pid, &status, WNOHANG) == pid;
                    return exited;
                },
                std::chrono::seconds(30));
            if (settled && !exited)
                return true;
            pid = -1;
            if (!exited || !WIFEXITED(status) || WEXITSTATUS(status) != 5) // 5: the port is taken
                return false;
        }
        return false;
    }

    int Run(const std::string& command)
    {
        const std::string out = SandboxPath("run.txt");
        const int rc = std::system((command + " > " + out + " 2>&1").c_str());
        output = ReadFile(out);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    int Ctl(const std::string& args) { return Run(std::string(HARBORLOCK_CTL_PATH) + " --control " + control + " " + args); }

    std::string home, runtime, folder, control, output;
    int port = 0;
    pid_t pid = -1;
};

TEST_F(HarborlockdVerifyTest, CtlVerifyReportsEachBackupAndADamagedOneMakesTheNextBackupFull)
{
    ASSERT_TRUE(StartDaemon()) << ReadFile(SandboxPath("daemon.err"));
    ASSERT_EQ(Run(std::string(QUARNEX_SIM_PATH) + " push --port " + std::to_string(port) +
                  " --serial 0x1A2B3 --full --clusters 40"),
              0)
        << output;
    ASSERT_TRUE(testsupport::Eventually([&] { return Contains(ActivityLog(), "Saving backup completed successfully"); },
                                        std::chrono::seconds(30)));

    ASSERT_EQ(Ctl("verify"), 0) << output;
    EXPECT_TRUE(Contains(output, "Verify of 1 backup started\n")) << output;
    EXPECT_TRUE(Contains(output, "\": whole (")) << output;
    EXPECT_TRUE(Contains(output, "Verify of backups completed: 1 whole, 0 damaged, 0 not checked\n")) << output;

    // One byte of the stored image flipped on disk.
    std::string image;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(folder + "/0001A2B3"))
        if (e.path().filename() == "backup_000.dat")
            image = e.path().string();
    ASSERT_FALSE(image.empty());
    std::string bytes = ReadFile(image);
    ASSERT_GT(bytes.size(), 1000u);
    bytes[1000] = char(bytes[1000] ^ 0x80);
    WriteFile(image, bytes);

    EXPECT_EQ(Ctl("verify 0001A2B3"), 1) << output;
    EXPECT_TRUE(Contains(output, "Verify of 1 backup of Quarnex Server ID: 0001A2B3 started\n")) << output;
    EXPECT_TRUE(Contains(output, "\": damaged in backup_000.dat at offset ")) << output;
    EXPECT_TRUE(Contains(output, ": the record does not match its checksum.  The next backup from this server will "
                                 "be a full backup.\n"))
        << output;
    EXPECT_TRUE(Contains(output, "Verify of backups completed: 0 whole, 1 damaged, 0 not checked\n")) << output;
    const std::string server = ReadFile(folder + "/0001A2B3/server.cfg");
    EXPECT_TRUE(Contains(server, "CurrentBackupID: \r\n")) << server;

    EXPECT_EQ(Ctl("--json verify"), 1) << output;
    EXPECT_TRUE(Contains(output, "{\"result\":\"damaged\",\"whole\":0,\"damaged\":1,\"unchecked\":0,\"backups\":[{"))
        << output;
    EXPECT_TRUE(Contains(output, "\"verdict\":\"damaged\",\"nextBackupFull\":false")) << output; // already cleared

    EXPECT_EQ(Ctl("verify 00000009"), 1) << output;
    EXPECT_TRUE(Contains(output, "No backups of Quarnex Server ID 00000009 are stored.")) << output;
    EXPECT_EQ(Ctl("verify 0001A2B3 extra"), 2);
    // Every run is in the activity log as well.
    EXPECT_TRUE(Contains(ActivityLog(), "Verify of backups completed: 0 whole, 1 damaged, 0 not checked")) << ActivityLog();
}

} // namespace
