// harborlockd with peer rules from its settings file: quarnex-sim from 127.0.0.1 and
// 127.0.0.2 (its --source option), refusals in the activity log, harborlock-ctl pins and
// forget-pin, and a SIGHUP that brings a new accept list.
#include <signal.h>

#include <chrono>
#include <string>

#include "Eventually.h"
#include "HarborlockdFixture.h"

namespace {

class HarborlockdPeerRulesTest : public HarborlockdTest {
protected:
    bool Start(const std::string& rules)
    {
        extraSettings = rules;
        return StartDaemon(daemon);
    }
    int SimFrom(const std::string& from, const std::string& args) { return Sim(args + " --source " + from); }
    // The pin is written as the worker ends, just after "saved" reached the activity log.
    bool PinsAre(const std::string& text)
    {
        return testsupport::Eventually([&] { return ReadFile(ConfigDir() + "/PeerPins.cfg") == text; },
                                       std::chrono::seconds(30));
    }
    bool LogHas(const std::string& part)
    {
        return testsupport::Eventually([&] { return Contains(ActivityLog(), part); },
                                       std::chrono::seconds(30));
    }

    ChildProcess daemon;
};

TEST_F(HarborlockdPeerRulesTest, PinsFromTheSettingsFileAreEnforcedListedAndForgotten)
{
    ASSERT_TRUE(Start("PinServersToAddress: 1\r\n")) << ReadFile(errPath);
    const std::string model = SandboxPath("model.img");
    const std::string push =
        "push --serial 0x1A2B3 --full --clusters 120 --cluster-size 1024 --scratch-percent 25 "
        "--seed 3 --params 1,2,3 --model ";
    ASSERT_EQ(SimFrom("127.0.0.1", push + model), 0) << output;
    ASSERT_TRUE(Saved(1));
    ASSERT_TRUE(PinsAre("PeerPin-0001A2B3: 127.0.0.1\r\n"));

    ASSERT_EQ(Ctl("pins"), 0) << output;
    EXPECT_TRUE(Contains(output, "Pinning each server to its first address is on.")) << output;
    EXPECT_TRUE(Contains(output, "Quarnex Server ID 0001A2B3 pinned to 127.0.0.1")) << output;

    // From another address: refused at HELLO, said in the activity log, the stored backup kept.
    EXPECT_NE(SimFrom("127.0.0.2", push + SandboxPath("other.img")), 0);
    ASSERT_TRUE(
        LogHas("Backup from Quarnex Server ID: 0001A2B3 refused: it came from 127.0.0.2, the server is "
               "pinned to 127.0.0.1"));
    EXPECT_NE(SimFrom("127.0.0.2", "restore --serial 0x1A2B3 --out " + SandboxPath("r2.img")), 0);
    ASSERT_TRUE(LogHas("Restore for Quarnex Server ID: 0001A2B3 refused: it came from 127.0.0.2"));
    ASSERT_EQ(
        SimFrom("127.0.0.1", "restore --serial 0x1A2B3 --out " + SandboxPath("r1.img") + " --check " + model),
        0)
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
    ASSERT_EQ(SimFrom("127.0.0.2", push + model), 0) << output;
    ASSERT_TRUE(Saved(2));
    EXPECT_TRUE(PinsAre("PeerPin-0001A2B3: 127.0.0.2\r\n")) << ReadFile(ConfigDir() + "/PeerPins.cfg");
}

TEST_F(HarborlockdPeerRulesTest, AnAcceptListReadAgainOnSighupClosesTheStranger)
{
    ASSERT_TRUE(Start("")) << ReadFile(errPath);
    ASSERT_EQ(SimFrom("127.0.0.2", "ping"), 0) << output;

    extraSettings = "AcceptConnectionsFrom: 127.0.0.1/32\r\n";
    WriteSettings(port, folder);
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(SettingsRead(1));
    EXPECT_NE(SimFrom("127.0.0.2", "ping"), 0);
    ASSERT_TRUE(LogHas("Connection from 127.0.0.2 refused: the address is not among the accepted addresses"));
    EXPECT_EQ(SimFrom("127.0.0.1", "ping"), 0) << output;
}

} // namespace
