// harborlockd and harborlock-ctl as a user runs them: real processes, a real backup folder,
// the Quarnex simulator pushing and restoring over loopback TCP, restore questions answered
// (or left unanswered) through the control socket, a stop while a question waits. (Settings
// and signals: HarborlockdSettingsTest.cpp; the backups and servers commands:
// HarborlockdBackupsTest.cpp.)
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "Eventually.h"
#include "HarborlockdFixture.h"
#include "Platform.h"

namespace {

using Clock = std::chrono::steady_clock;

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
    ChildProcess daemon;
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
                  "--vary-lengths --seed 4 --params 1,2,3 --model " +
                  model),
              0)
        << output;
    // Incrementals are always allowed for this server (what the backup options dialog saves,
    // which it can only do once the service is idle again: the commit rewrites server.cfg).
    ASSERT_TRUE(Saved(1));
    CBFMRepository::GetServer(folder, "0001A2B3")->SetForceFullType(CBFMServer::Never);
    ASSERT_EQ(Sim("push --serial 0x1A2B3 --incremental --clusters 80 --cluster-size 1024 --first-block 100 "
                  "--block-step 2 --scratch-percent 50 --seed 5 --params 1,2,3 --model " +
                  model),
              0)
        << output;
    ASSERT_TRUE(Saved(2)) << ActivityLog();

    ASSERT_EQ(Ctl("backups 0001A2B3"), 0) << output;
    EXPECT_EQ(Count(output, "0001A2B3  "), 1) << output; // the incremental was merged into the full one
    ASSERT_EQ(Ctl("--json servers"), 0);
    EXPECT_EQ(Count(output, "\"server\":"), 1) << output;
    EXPECT_TRUE(Contains(output, "\"server\":\"0001A2B3\"")) << output;
    EXPECT_EQ(Ctl("backups 00000009"), 1);

    // The inquiry waits for the user: nothing is answered until harborlock-ctl accepts.
    ChildProcess inquiry;
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
    EXPECT_TRUE(Contains(ReadFile(SandboxPath("bg.out")), "response 0x00000000"))
        << ReadFile(SandboxPath("bg.out"));

    // The restore itself brings back exactly what the simulator pushed.
    ASSERT_EQ(Sim("restore --serial 0x1A2B3 --check " + model), 0) << output;
    EXPECT_TRUE(Contains(output, "restore matches what was pushed")) << output;

    daemon.Signal(SIGTERM);
    ASSERT_EQ(daemon.Wait(60), 0) << ReadFile(errPath);

    // The window's lines, written by the service side.
    const std::string log = ActivityLog();
    EXPECT_EQ(Count(log, "  Backup initated from Quarnex Server ID: 0001A2B3\n"), 2) << log;
    EXPECT_EQ(Count(log, "  Started backup transfer from Quarnex Server ID: 0001A2B3 of estimated size "), 2)
        << log;
    EXPECT_EQ(Count(log, "  Backup folder is " + folder + "\n"), 2) << log;
    EXPECT_EQ(Count(log, "  Saving backup completed successfully\n"), 2) << log;
    EXPECT_EQ(Count(log, "  Request to restore Quarnex Server ID:0001A2B3 using backup from Quarnex Server "
                         "ID:0001A2B3 dated "),
              1)
        << log;
    EXPECT_TRUE(Contains(log, " accepted\n")) << log;
    EXPECT_TRUE(Contains(log, "  Restore transfer completed successfully\n")) << log;
    EXPECT_FALSE(Contains(log, "failed")) << log;
    // The same debug log as the window's, and the control socket is gone after the stop.
    EXPECT_TRUE(Contains(ReadFile(DataRoot() + "/log/quarnexLog.txt"), "Accepting connections on port"));
    EXPECT_FALSE(hl::Os().PathExists(control));
}

TEST_F(HarborlockdTest, RestoreRequestIsRejectedWhenNoAnswerComesOrCtlRejects)
{
    ChildProcess daemon;
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
    ChildProcess inquiry;
    ASSERT_TRUE(SimInBackground(inquiry, "inquire", {"--serial", "0x77"}));
    if (testsupport::Eventually([&] { return PromptWaiting(); }, std::chrono::seconds(30)))
        Ctl("reject");
    EXPECT_EQ(inquiry.Wait(60), 1);

    daemon.Signal(SIGINT);
    ASSERT_EQ(daemon.Wait(60), 0) << ReadFile(errPath);
    const std::string log = ActivityLog();
    EXPECT_EQ(Count(log, "Request to restore Quarnex Server ID:00000077 using backup from Quarnex Server "
                         "ID:00000077 dated "),
              2)
        << log;
    EXPECT_EQ(Count(log, " rejected\n"), 2) << log;
    EXPECT_FALSE(Contains(log, " accepted\n")) << log;
}

// A stop while a restore question waits: the question is rejected at once (no one is left to
// answer it), so the worker asking it ends and the service stops well inside its time-outs.
TEST_F(HarborlockdTest, StopWhileARestoreRequestWaitsRejectsItAndEndsCleanly)
{
    ChildProcess daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath); // the designed 90 s to answer
    ASSERT_EQ(Sim("push --serial 0x55 --full --clusters 20 --cluster-size 512"), 0) << output;
    ChildProcess inquiry;
    ASSERT_TRUE(SimInBackground(inquiry, "inquire", {"--serial", "0x55"}));
    ASSERT_TRUE(testsupport::Eventually([&] { return PromptWaiting(); }, std::chrono::seconds(30))) << output;

    const auto stopAsked = Clock::now();
    daemon.Signal(SIGTERM);
    ASSERT_EQ(daemon.Wait(60), 0) << ReadFile(errPath);
    // Well below the 90 s question and the 30 s thread stop: nothing waited for a time-out.
    EXPECT_LT(Clock::now() - stopAsked, std::chrono::seconds(20));
    EXPECT_EQ(inquiry.Wait(30), 1);
    const std::string log = ActivityLog();
    EXPECT_TRUE(Contains(log,
                         "Request to restore Quarnex Server ID:00000055 using backup from Quarnex Server "
                         "ID:00000055 dated "))
        << log;
    EXPECT_TRUE(Contains(log, " rejected\n")) << log;
    EXPECT_FALSE(Contains(log, "Error stopping backup service")) << log;
}

} // namespace
