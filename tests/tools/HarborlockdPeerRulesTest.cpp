// harborlockd with peer rules from its settings file: quarnex-sim from 127.0.0.1 and
// 127.0.0.2 (its --source option), refusals in the activity log, harborlock-ctl pins and
// forget-pin, and a SIGHUP that brings a new accept list.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Eventually.h"
#include "Platform.h"
#include "TestSandbox.h"

extern char** environ;

namespace {

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class HarborlockdPeerRulesTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        home = SandboxPath("home");
        const std::string data = home + "/data";
        runtime = SandboxPath("run");
        for (const std::string& d : {home, data, runtime, data + "/Quarnex", data + "/Quarnex/Harborlock", ConfigDir()})
            ASSERT_TRUE(hl::Os().CreateDirectory(d));
        ::chmod(runtime.c_str(), 0700);
        env = {"HOME=" + home, "XDG_DATA_HOME=" + data, "XDG_RUNTIME_DIR=" + runtime, "NOTIFY_SOCKET="};
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('=') + 1);
            if (name != "HOME=" && name != "XDG_DATA_HOME=" && name != "XDG_RUNTIME_DIR=" && name != "NOTIFY_SOCKET=")
                env.push_back(entry);
        }
    }
    void TearDown() override
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            if (!testsupport::Eventually([this] { return ::waitpid(pid, nullptr, WNOHANG) == pid; },
                                         std::chrono::seconds(30))) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
        SandboxTest::TearDown();
    }

    std::string ConfigDir() const { return home + "/data/Quarnex/Harborlock/Config"; }
    std::string ActivityLog() const { return ReadFile(home + "/data/Quarnex/Harborlock/log/activityLog.txt"); }
    void WriteSettings(const std::string& rules)
    {
        WriteFile(ConfigDir() + "/Harborlock.cfg", "IPPort: " + std::to_string(port) + "\r\nBackupDataBasePath: " +
                                                       home + "/HarborlockBackups\r\n" + rules);
    }

    // Starts harborlockd on a free port of the served range; true once it is ready.
    bool Start(const std::string& rules)
    {
        static std::mt19937 random(static_cast<unsigned>(::getpid()) * 7u);
        const std::string out = SandboxPath("daemon.out");
        for (int attempt = 0; attempt < 20; ++attempt) {
            port = std::uniform_int_distribution<int>(2000, 8000)(random);
            WriteSettings(rules);
            std::string path = HARBORLOCKD_PATH;
            char* argv[] = {path.data(), nullptr};
            std::vector<char*> envp;
            for (std::string& e : env)
                envp.push_back(e.data());
            envp.push_back(nullptr);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_addopen(&actions, 2, SandboxPath("daemon.err").c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
            posix_spawn_file_actions_destroy(&actions);
            if (rc != 0)
                return false;
            int status = 0;
            bool ended = false;
            const bool settled = testsupport::Eventually(
                [&] {
                    if (Contains(ReadFile(out), "harborlockd: ready"))
                        return true;
                    ended = ::waitpid(pid, &status, WNOHANG) == pid;
                    return ended;
                },
                std::chrono::seconds(30));
            if (settled && !ended)
                return true;
            if (!ended)
                return false; // TearDown ends it
            pid = -1;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 5) // 5: the port is taken
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
    int Ctl(const std::string& args)
    {
        return Run(std::string(HARBORLOCK_CTL_PATH) + " --control " + runtime + "/harborlockd.sock " + args);
    }
    int Sim(const std::string& from, const std::string& args)
    {
        return Run(std::string(QUARNEX_SIM_PATH) + " " + args + " --port " + std::to_string(port) + " --source " + from);
    }
    // The pin is written as the worker ends, just after "saved" reached the activity log.
    bool PinsAre(const std::string& text)
    {
        return testsupport::Eventually([&] { return ReadFile(ConfigDir() + "/PeerPins.cfg") == text; },
                                       std::chrono::seconds(30));
    }
    bool LogHas(const std::string& part, int times = 1)
    {
        return testsupport::Eventually(
            [&] {
                const std::string log = ActivityLog();
                int n = 0;
                for (auto at = log.find(part); at != std::string::npos; at = log.find(part, at + 1))
                    ++n;
                return n >= times;
            },
            std::chrono::seconds(30));
    }

    std::string home, runtime, output;
    std::vector<std::string> env;
    pid_t pid = -1;
    int port = 0;
};

TEST_F(HarborlockdPeerRulesTest, PinsFromTheSettingsFileAreEnforcedListedAndForgotten)
{
    ASSERT_TRUE(Start("PinServersToAddress: 1\r\n")) << ReadFile(SandboxPath("daemon.err"));
    const std::string model = SandboxPath("model.img");
    const std::string push = "push --serial 0x1A2B3 --full --clusters 120 --cluster-size 1024 --scratch-percent 25 "
                             "--seed 3 --params 1,2,3 --model ";
    ASSERT_EQ(Sim("127.0.0.1", push + model), 0) << output;
    ASSERT_TRUE(LogHas("  Saving backup completed successfully\n"));
    ASSERT_TRUE(PinsAre("PeerPin-0001A2B3: 127.0.0.1\r\n"));

    ASSERT_EQ(Ctl("pins"), 0) << output;
    EXPECT_TRUE(Contains(output, "Pinning each server to its first address is on.")) << output;
    EXPECT_TRUE(Contains(output, "Quarnex Server ID 0001A2B3 pinned to 127.0.0.1")) << output;

    // From another address: refused at HELLO, said in the activity log, the stored backup kept.
    EXPECT_NE(Sim("127.0.0.2", push + SandboxPath("other.img")), 0);
    ASSERT_TRUE(LogHas("Backup from Quarnex Server ID: 0001A2B3 refused: it came from 127.0.0.2, the server is "
                       "pinned to 127.0.0.1"));
    EXPECT_NE(Sim("127.0.0.2", "restore --serial 0x1A2B3 --out " + SandboxPath("r2.img")), 0);
    ASSERT_TRUE(LogHas("Restore for Quarnex Server ID: 0001A2B3 refused: it came from 127.0.0.2"));
    ASSERT_EQ(Sim("127.0.0.1", "restore --serial 0x1A2B3 --out " + SandboxPath("r1.img") + " --check " + model), 0)
        << output;

    ASSERT_EQ(Ctl("--json forget-pin 0001A2B3"), 0) << output;
    EXPECT_TRUE(Contains(output, "\"result\":\"forgotten\"")) << output;
    ASSERT_TRUE(LogHas("Address pin of Quarnex Server ID: 0001A2B3 forgotten"));
    EXPECT_EQ(Ctl("forget-pin 0001A2B3"), 1);
    EXPECT_TRUE(Contains(output, "is not pinned")) << output;
    ASSERT_EQ(Ctl("--json pins"), 0);
    EXPECT_TRUE(Contains(output, "\"pins\":[]")) << output;
    EXPECT_EQ(Ctl("forget-pin"), 2);

    // The server moved: its next backup is taken and pins it to the new address.
    ASSERT_EQ(Sim("127.0.0.2", push + model), 0) << output;
    ASSERT_TRUE(LogHas("  Saving backup completed successfully\n", 2));
    EXPECT_TRUE(PinsAre("PeerPin-0001A2B3: 127.0.0.2\r\n")) << ReadFile(ConfigDir() + "/PeerPins.cfg");
}

TEST_F(HarborlockdPeerRulesTest, AnAcceptListReadAgainOnSighupClosesTheStranger)
{
    ASSERT_TRUE(Start("")) << ReadFile(SandboxPath("daemon.err"));
    ASSERT_EQ(Sim("127.0.0.2", "ping"), 0) << output;

    WriteSettings("AcceptConnectionsFrom: 127.0.0.1/32\r\n");
    ::kill(pid, SIGHUP);
    ASSERT_TRUE(testsupport::Eventually([&] { return Contains(ReadFile(SandboxPath("daemon.out")), "settings read"); },
                                        std::chrono::seconds(30)));
    EXPECT_NE(Sim("127.0.0.2", "ping"), 0);
    ASSERT_TRUE(LogHas("Connection from 127.0.0.2 refused: the address is not among the accepted addresses"));
    EXPECT_EQ(Sim("127.0.0.1", "ping"), 0) << output;
}

} // namespace
