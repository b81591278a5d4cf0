// The peer rules without a connection: address lists, the settings headers and the pin file.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "CInetHeaderParser.h"
#include "CPeerRules.h"
#include "Platform.h"
#include "TestSandbox.h"

namespace {

std::uint32_t Address(const std::string& text)
{
    std::uint32_t a = 0;
    EXPECT_TRUE(CPeerRules::ParseAddress(text, a)) << text;
    return a;
}

TEST(CPeerRulesParse, AddressesAndNetworks)
{
    EXPECT_EQ(Address("192.168.1.20"), 0xC0A80114u);
    EXPECT_EQ(Address("0.0.0.0"), 0u);
    EXPECT_EQ(Address("255.255.255.255"), 0xFFFFFFFFu);
    std::uint32_t a = 0;
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1.2.3.-1", "a.b.c.d", "1..2.3",
                            "1.2.3.4 ", "01234.1.1.1", "1.2.3.4/8"})
        EXPECT_FALSE(CPeerRules::ParseAddress(bad, a)) << bad;

    CPeerRules::Network n;
    ASSERT_TRUE(CPeerRules::ParseNetwork("10.1.2.0/24", n));
    EXPECT_TRUE(n.Contains(Address("10.1.2.0")));
    EXPECT_TRUE(n.Contains(Address("10.1.2.255")));
    EXPECT_FALSE(n.Contains(Address("10.1.3.0")));
    ASSERT_TRUE(CPeerRules::ParseNetwork("10.1.2.7", n));
    EXPECT_EQ(n.prefix, 32);
    EXPECT_TRUE(n.Contains(Address("10.1.2.7")));
    EXPECT_FALSE(n.Contains(Address("10.1.2.6")));
    ASSERT_TRUE(CPeerRules::ParseNetwork("0.0.0.0/0", n));
    EXPECT_TRUE(n.Contains(Address("203.0.113.9")));
    ASSERT_TRUE(CPeerRules::ParseNetwork("172.16.0.0/12", n));
    EXPECT_TRUE(n.Contains(Address("172.31.255.1")));
    EXPECT_FALSE(n.Contains(Address("172.32.0.1")));
    for (const char* bad : {"10.0.0.0/33", "10.0.0.0/", "10.0.0.0/x", "/8", "10.0.0.0/8/8"})
        EXPECT_FALSE(CPeerRules::ParseNetwork(bad, n)) << bad;

    std::vector<CPeerRules::Network> list;
    std::string badEntry;
    EXPECT_TRUE(CPeerRules::ParseAcceptList("  10.0.0.0/8,192.168.1.5 ,\t172.16.0.0/12  ", list, &badEntry));
    EXPECT_EQ(list.size(), 3u);
    EXPECT_TRUE(CPeerRules::ParseAcceptList("", list));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(CPeerRules::ParseAcceptList("10.0.0.0/8 server.local 1.2.3.4", list, &badEntry));
    EXPECT_EQ(badEntry, "server.local");
}

TEST(CPeerRulesAccept, EmptyListAcceptsAllAListOnlyItsMembers)
{
    CPeerRules rules("/nonexistent/PeerPins.cfg");
    EXPECT_TRUE(rules.AcceptsConnection("203.0.113.9"));
    CPeerRules::Settings s;
    s.acceptFrom = "192.168.1.0/24 10.0.0.5";
    rules.SetSettings(s);
    EXPECT_TRUE(rules.AcceptsConnection("192.168.1.77"));
    EXPECT_TRUE(rules.AcceptsConnection("10.0.0.5"));
    EXPECT_FALSE(rules.AcceptsConnection("10.0.0.6"));
    EXPECT_FALSE(rules.AcceptsConnection("192.168.2.1"));
    EXPECT_FALSE(rules.AcceptsConnection("not an address"));
    // A hand-edited list that holds only rubbish lets nobody in rather than everybody.
    s.acceptFrom = "everyone";
    rules.SetSettings(s);
    EXPECT_FALSE(rules.AcceptsConnection("192.168.1.77"));
}

class CPeerRulesFileTest : public SandboxTest {};

TEST_F(CPeerRulesFileTest, SettingsHeadersRoundTripAndDefaultsWriteNothing)
{
    const std::string path = SandboxPath("Harborlock.cfg");
    // An old file: no rules' headers at all.
    WriteFile(path, "IPPort: 5001\r\nBackupDataBasePath: /srv/backups\r\n");
    EXPECT_EQ(CPeerRules::Load(path), CPeerRules::Settings());
    EXPECT_EQ(CPeerRules::Load(SandboxPath("missing.cfg")), CPeerRules::Settings());

    CInetHeaderParser empty(true);
    CPeerRules::AddTo(CPeerRules::Settings(), empty);
    EXPECT_EQ(empty.ToText(), "");

    CPeerRules::Settings s;
    s.listenAddress = "192.168.1.20";
    s.acceptFrom = "192.168.1.0/24, 10.0.0.5";
    s.pinServers = true;
    s.restoreNeedsPrompt = true;
    CInetHeaderParser parser(true);
    parser.AddHeader("IPPort", "5001");
    CPeerRules::AddTo(s, parser);
    ASSERT_TRUE(parser.Save(path));
    EXPECT_EQ(CPeerRules::Load(path), s);
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("ListenAddress: 192.168.1.20\r\n"), std::string::npos);
    EXPECT_NE(text.find("AcceptConnectionsFrom: 192.168.1.0/24, 10.0.0.5\r\n"), std::string::npos);
    EXPECT_NE(text.find("PinServersToAddress: 1\r\n"), std::string::npos);
    EXPECT_NE(text.find("RestoreNeedsAcceptedPrompt: 1\r\n"), std::string::npos);
}

TEST_F(CPeerRulesFileTest, PinsAreSetOnceKeptInTheirFileAndForgotten)
{
    const std::string path = SandboxPath("PeerPins.cfg");
    CPeerRules::Settings s;
    CPeerRules rules(path, s);
    // Pinning off: a saved backup pins nothing and writes no file.
    EXPECT_TRUE(rules.BackupSaved("0001A2B3", "10.0.0.5"));
    EXPECT_TRUE(rules.Pins().empty());
    EXPECT_FALSE(hl::Os().FileExists(path));

    s.pinServers = true;
    rules.SetSettings(s);
    EXPECT_EQ(rules.CheckBackup("0001A2B3", "10.0.0.9"), ""); // no backup from anywhere yet
    EXPECT_TRUE(rules.BackupSaved("0001A2B3", "10.0.0.5"));
    EXPECT_TRUE(rules.BackupSaved("0001A2B3", "10.0.0.9")); // the first address stays
    EXPECT_TRUE(rules.BackupSaved("00C0FFEE", "10.0.0.7"));
    EXPECT_EQ(rules.CheckBackup("0001A2B3", "10.0.0.5"), "");
    EXPECT_NE(rules.CheckBackup("0001A2B3", "10.0.0.9"), "");
    EXPECT_NE(rules.CheckRestore("0001A2B3", "10.0.0.9"), "");
    EXPECT_EQ(ReadFile(path), "PeerPin-0001A2B3: 10.0.0.5\r\nPeerPin-00C0FFEE: 10.0.0.7\r\n");

    // Off again: the pins stay but refuse nothing.
    s.pinServers = false;
    rules.SetSettings(s);
    EXPECT_EQ(rules.CheckBackup("0001A2B3", "10.0.0.9"), "");
    EXPECT_EQ(rules.Pins().size(), 2u);

    EXPECT_TRUE(rules.ForgetPin("0001A2B3"));
    EXPECT_FALSE(rules.ForgetPin("0001A2B3"));
    EXPECT_EQ(ReadFile(path), "PeerPin-00C0FFEE: 10.0.0.7\r\n");

    // A hand-edited file: entries that are no address are left out, others ignored.
    WriteFile(path, "PeerPin-00C0FFEE: 10.0.0.7\r\nPeerPin-0000BEEF: somewhere\r\nIPPort: 5001\r\n");
    EXPECT_EQ(CPeerRules(path).Pins(), (std::map<std::string, std::string>{{"00C0FFEE", "10.0.0.7"}}));
}

TEST_F(CPeerRulesFileTest, APinThatCannotBeWrittenIsNotTaken)
{
    CPeerRules::Settings s;
    s.pinServers = true;
    CPeerRules rules(SandboxPath("no/such/dir/PeerPins.cfg"), s);
    EXPECT_FALSE(rules.BackupSaved("0001A2B3", "10.0.0.5"));
    EXPECT_TRUE(rules.Pins().empty());
    EXPECT_EQ(rules.CheckBackup("0001A2B3", "10.0.0.9"), "");
}

} // namespace
