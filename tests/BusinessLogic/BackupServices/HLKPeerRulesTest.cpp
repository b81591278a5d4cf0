// The peer rules against the real service on loopback, with Quarnex servers at two addresses
// (127.0.0.1 and 127.0.0.2): each rule refuses the stranger, serves the allowed peer byte for
// byte and leaves the backup folder as it was for a refused one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "CLog.h"
#include "CPeerRules.h"
#include "FaultPlatform.h"
#include "HLKTestHarness.h"

using namespace quarnexsim;

namespace {

const char* const kHome = "127.0.0.1";
const char* const kStranger = "127.0.0.2";
const SimHeader kHeader{0x0001A2B3, 1024, 11, 22, 33};

// The test window, and the lines of the peer-rule notifications besides.
class RefusalWindow : public IGUIWindow {
public:
    bool Post(unsigned message, intptr_t lParam) override
    {
        if (message == CM_HLKPeerRefused) {
            std::lock_guard<std::mutex> guard(m_lock);
            const char* line = reinterpret_cast<HLKPeerRefusedMsg*>(lParam)->line;
            m_lines.push_back(line ? line : "(null)");
        }
        return notes.Post(message, lParam);
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    void Clear()
    {
        notes.Clear();
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
    }
    TestWindow notes;

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

std::vector<SimCluster> Clusters(std::uint64_t seed)
{
    std::vector<SimCluster> clusters;
    for (std::uint32_t id = 0; id < 60; ++id)
        clusters.push_back(Cluster(id, kModeMain, 1024, seed));
    for (std::uint32_t id = 100; id > 80; --id) // scratch, out of order
        clusters.push_back(Cluster(id, kModeScratch, 700, seed));
    return clusters;
}

class HLKPeerRulesTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        // Forwards everything; lets ten minutes pass at once. Installed for the service's
        // whole life: its threads hold on to the platform they started with.
        m_useClock = std::make_unique<hl::ScopedPlatform>(clock);
        CLog::ResetForTests();
        CLog::Init(Sandbox());
        CLog::SetLevels(33, CLog::LEVEL_ERROR | CLog::LEVEL_WARN | CLog::LEVEL_DEBUG);
        m_root = SandboxPath("backups");
        m_pinFile = SandboxPath("PeerPins.cfg");
        rules = std::make_shared<CPeerRules>(m_pinFile);
        HLKTimeouts t;
        t.payloadReadMs = 400;
        t.commandPollMs = 50;
        t.maxCommandPolls = 200;
        t.threadStopMs = 10000;
        t.threadStartMs = 10000;
        t.listenerPollMs = 20;
        ASSERT_TRUE(testsupport::OpenServiceSingletons(m_root, window, t));
        HLKBackup::GetInstance()->SetPeerRules(rules);
    }
    void TearDown() override
    {
        testsupport::ReleaseServiceSingletons();
        CLog::ResetForTests();
        m_useClock.reset();
        SandboxTest::TearDown();
    }

    void Start(const CPeerRules::Settings& settings)
    {
        rules->SetSettings(settings);
        ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
        port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
        ASSERT_GT(port, 0);
    }

    QuarnexSim Sim(const std::string& from, const std::string& to = kHome)
    {
        QuarnexSim sim(to, port);
        sim.SetSourceAddress(from);
        sim.SetTimeoutMs(20000);
        return sim;
    }
    // Every earlier conversation has ended once a ping (from an address that is let in) is
    // answered.
    bool Idle(const std::string& from = kHome)
    {
        std::uint32_t response = 1;
        return Sim(from).Ping(response) && response == 0;
    }
    void PushOk(const std::string& from, const std::vector<SimCluster>& clusters)
    {
        window.Clear();
        const PushResult r = Sim(from).Push(kHeader, true, clusters);
        ASSERT_TRUE(r.completed) << r.failure;
        ASSERT_TRUE(window.notes.WaitForMessage(CM_HLKSaveBackupDone));
        ASSERT_TRUE(Idle(from));
    }
    std::vector<std::uint8_t> RestoreOk(const std::string& from)
    {
        SimImage image;
        const RestoreResult r = Sim(from).Restore(kHeader.serialNumber, image);
        EXPECT_EQ(r.response, kOk);
        EXPECT_TRUE(r.gotDone) << r.failure;
        return MergeModel::Serialize(image);
    }
    // Waits for the refusal line and for the service to be idle again, then gives every
    // line seen.
    std::vector<std::string> RefusalLines(const std::string& idleFrom = kHome)
    {
        EXPECT_TRUE(window.notes.WaitForMessage(CM_HLKPeerRefused));
        EXPECT_TRUE(Idle(idleFrom));
        return window.Lines();
    }
    // Every file of the backup folder with its contents.
    std::map<std::string, std::string> Folder() const
    {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_root)) {
            const std::string path = entry.path().string();
            files[path] = entry.is_regular_file() ? ReadFile(path) : std::string("<dir>");
        }
        return files;
    }

    hl::FaultPlatform clock;
    std::unique_ptr<hl::ScopedPlatform> m_useClock;
    RefusalWindow window;
    std::shared_ptr<CPeerRules> rules;
    std::uint16_t port = 0;
    std::string m_root;
    std::string m_pinFile;
};

// With every rule off (the default) a server is served from any address: today's behaviour.
TEST_F(HLKPeerRulesTest, RulesOffServeEveryAddressAndWriteNoPins)
{
    ASSERT_NO_FATAL_FAILURE(Start({}));
    const std::vector<SimCluster> clusters = Clusters(1);
    ASSERT_NO_FATAL_FAILURE(PushOk(kHome, clusters));
    ASSERT_NO_FATAL_FAILURE(PushOk(kStranger, Clusters(2)));
    EXPECT_EQ(RestoreOk(kHome), MergeModel::Serialize(MergeModel::Full(kHeader, Clusters(2))));
    EXPECT_EQ(RestoreOk(kStranger), MergeModel::Serialize(MergeModel::Full(kHeader, Clusters(2))));
    EXPECT_TRUE(window.Lines().empty());
    EXPECT_FALSE(std::filesystem::exists(m_pinFile));
}

TEST_F(HLKPeerRulesTest, AcceptListClosesStrangerBeforeReadingAndServesListedPeer)
{
    CPeerRules::Settings s;
    s.acceptFrom = "10.0.0.0/8, 127.0.0.0/31"; // 127.0.0.0 and 127.0.0.1 only
    ASSERT_NO_FATAL_FAILURE(Start(s));
    const std::vector<SimCluster> clusters = Clusters(3);
    ASSERT_NO_FATAL_FAILURE(PushOk(kHome, clusters));
    const std::map<std::string, std::string> before = Folder();
    window.Clear();

    // A stranger that says nothing is closed by the service: end of stream, not a reset, so
    // no byte of it was left unread either.
    QuarnexConnection silent;
    ASSERT_TRUE(silent.Connect(kHome, port, kStranger));
    EXPECT_EQ(silent.WaitClosed(10000), QuarnexConnection::CloseState::Closed);
    std::vector<std::string> lines = RefusalLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Connection from 127.0.0.2 refused: the address is not among the accepted addresses");

    // One that pushes a whole backup gets no answer at all.
    window.Clear();
    const PushResult r = Sim(kStranger).Push(kHeader, true, Clusters(4));
    EXPECT_FALSE(r.completed);
    EXPECT_FALSE(r.helloAnswered);
    lines = RefusalLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("127.0.0.2"), std::string::npos);
    // Nothing but the line: no worker ran, the window's state did not move, no failure.
    std::vector<unsigned> seen;
    for (unsigned m : window.notes.Sequence())
        if (m != CM_HLKPeerRefused)
            seen.push_back(m);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(Folder(), before);

    // One debug-log line for each, and no worker started for either.
    const std::string log = ReadFile(CLog::GetLogFileName());
    const std::string refused =
        "HLKServer doAcceptClientConnection(): Connection from 127.0.0.2 refused: not an accepted address.\n";
    std::size_t count = 0;
    for (auto at = log.find(refused); at != std::string::npos; at = log.find(refused, at + 1))
        ++count;
    EXPECT_EQ(count, 2u) << log;
    std::size_t workers = 0;
    for (auto at = log.find("HLK_BackupWorker(): Started"); at != std::string::npos;
         at = log.find("HLK_BackupWorker(): Started", at + 1))
        ++workers;
    // The backup and its ping, the ping after each stranger: four conversations in all.
    EXPECT_EQ(workers, 4u);

    // The listed peer is served byte for byte.
    EXPECT_EQ(RestoreOk(kHome), MergeModel::Serialize(MergeModel::Full(kHeader, clusters)));

    // A change of the list counts from the next connection, without a restart.
    s.acceptFrom = "127.0.0.2";
    rules->SetSettings(s);
    EXPECT_EQ(RestoreOk(kStranger), MergeModel::Serialize(MergeModel::Full(kHeader, clusters)));
}

TEST_F(HLKPeerRulesTest, PinRefusesBackupAndRestoreFromAnotherAddressUntilForgotten)
{
    CPeerRules::Settings s;
    s.pinServers = true;
    ASSERT_NO_FATAL_FAILURE(Start(s));
    const std::vector<SimCluster> clusters = Clusters(5);
    ASSERT_NO_FATAL_FAILURE(PushOk(kHome, clusters));
    EXPECT_EQ(rules->Pins(), (std::map<std::string, std::string>{{"0001A2B3", kHome}}));
    EXPECT_NE(ReadFile(m_pinFile).find("PeerPin-0001A2B3: 127.0.0.1\r\n"), std::string::npos);
    const std::map<std::string, std::string> before = Folder();

    // A backup from elsewhere: HELLO refused, one line naming both addresses, nothing else.
    window.Clear();
    const PushResult r = Sim(kStranger).Push(kHeader, true, Clusters(6));
    EXPECT_TRUE(r.helloAnswered);
    EXPECT_EQ(r.helloResponse, kError);
    EXPECT_FALSE(r.completed);
    std::vector<std::string> lines = RefusalLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "Backup from Quarnex Server ID: 0001A2B3 refused: it came from 127.0.0.2, the server is "
              "pinned to 127.0.0.1");
    EXPECT_EQ(window.notes.Sequence(), std::vector<unsigned>{CM_HLKPeerRefused});
    EXPECT_EQ(Folder(), before);

    // A restore from elsewhere: refused before a byte of the backup is sent.
    window.Clear();
    SimImage image;
    const RestoreResult rr = Sim(kStranger).Restore(kHeader.serialNumber, image);
    EXPECT_TRUE(rr.answered);
    EXPECT_EQ(rr.response, kError);
    EXPECT_FALSE(rr.gotHeader);
    EXPECT_TRUE(image.records.empty());
    lines = RefusalLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "Restore for Quarnex Server ID: 0001A2B3 refused: it came from 127.0.0.2, the server is "
              "pinned to 127.0.0.1");
    EXPECT_EQ(window.notes.Sequence(), std::vector<unsigned>{CM_HLKPeerRefused});

    // The pinned address is served as ever.
    EXPECT_EQ(RestoreOk(kHome), MergeModel::Serialize(MergeModel::Full(kHeader, clusters)));

    // The server moved: forget its pin, and its next backup pins it to its new address.
    ASSERT_TRUE(rules->ForgetPin("0001A2B3"));
    EXPECT_FALSE(rules->ForgetPin("0001A2B3"));
    ASSERT_NO_FATAL_FAILURE(PushOk(kStranger, Clusters(7)));
    EXPECT_EQ(rules->Pins(), (std::map<std::string, std::string>{{"0001A2B3", kStranger}}));
    window.Clear();
    EXPECT_EQ(Sim(kHome).Push(kHeader, true, Clusters(8)).helloResponse, kError);
    EXPECT_EQ(RefusalLines().size(), 1u);

    // Pins outlive the service: a new rules object reads them back from the file.
    EXPECT_EQ(CPeerRules(m_pinFile).Pins(), rules->Pins());
}

TEST_F(HLKPeerRulesTest, RestoreNeedsAnAcceptedInquiryFromTheSameAddressWithinTenMinutes)
{
    CPeerRules::Settings s;
    s.restoreNeedsPrompt = true;
    ASSERT_NO_FATAL_FAILURE(Start(s));
    const std::vector<SimCluster> clusters = Clusters(9);
    ASSERT_NO_FATAL_FAILURE(PushOk(kHome, clusters));
    const std::vector<std::uint8_t> expected = MergeModel::Serialize(MergeModel::Full(kHeader, clusters));

    const std::map<std::string, std::string> before = Folder();

    // No inquiry yet: refused, with a line naming the address.
    window.Clear();
    SimImage image;
    RestoreResult rr = Sim(kHome).Restore(kHeader.serialNumber, image);
    EXPECT_EQ(rr.response, kError);
    EXPECT_FALSE(rr.gotHeader);
    std::vector<std::string> lines = RefusalLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "Restore for Quarnex Server ID: 0001A2B3 refused: no restore request from 127.0.0.1 was "
              "accepted in the last 10 minutes");
    EXPECT_EQ(window.notes.Sequence(), std::vector<unsigned>{CM_HLKPeerRefused});

    // A rejected inquiry does not count.
    window.notes.AnswerPrompts(false);
    EXPECT_EQ(Sim(kHome).Inquire(kHeader.serialNumber).response, kError);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(Sim(kHome).Restore(kHeader.serialNumber, image).response, kError);
    ASSERT_TRUE(Idle());

    EXPECT_EQ(Folder(), before);

    // An accepted inquiry from 127.0.0.2 lets 127.0.0.2 restore, and only it.
    window.notes.AnswerPrompts(true);
    const InquiryResult inquiry = Sim(kStranger).Inquire(kHeader.serialNumber);
    EXPECT_EQ(inquiry.response, kOk);
    EXPECT_TRUE(inquiry.gotDone);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(Sim(kHome).Restore(kHeader.serialNumber, image).response, kError);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(RestoreOk(kStranger), expected);
    // ... for that server only.
    window.Clear();
    EXPECT_EQ(Sim(kStranger).Restore(0x0001A2B4, image).response, kError);
    lines = RefusalLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("0001A2B4"), std::string::npos);

    // Just inside ten minutes it still counts; past them it does not.
    clock.AdvanceMonotonicMs(CPeerRules::kPromptValidMs - 5000);
    EXPECT_EQ(RestoreOk(kStranger), expected);
    clock.AdvanceMonotonicMs(10000);
    window.Clear();
    EXPECT_EQ(Sim(kStranger).Restore(kHeader.serialNumber, image).response, kError);
    lines = RefusalLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("127.0.0.2"), std::string::npos);
}

TEST_F(HLKPeerRulesTest, ListenOnOneAddressLeavesTheOthersUnserved)
{
    CPeerRules::Settings s;
    s.listenAddress = kStranger;
    ASSERT_NO_FATAL_FAILURE(Start(s));
    // Served on the chosen address, byte for byte.
    const std::vector<SimCluster> clusters = Clusters(11);
    window.Clear();
    ASSERT_TRUE(Sim(kHome, kStranger).Push(kHeader, true, clusters).completed);
    ASSERT_TRUE(window.notes.WaitForMessage(CM_HLKSaveBackupDone));
    SimImage image;
    ASSERT_EQ(Sim(kHome, kStranger).Restore(kHeader.serialNumber, image).response, kOk);
    EXPECT_EQ(MergeModel::Serialize(image), MergeModel::Serialize(MergeModel::Full(kHeader, clusters)));

    // Not reachable on the others: nothing to refuse, nothing changes.
    const std::map<std::string, std::string> before = Folder();
    EXPECT_FALSE(Sim(kHome, kHome).Push(kHeader, true, Clusters(12)).helloAnswered);
    std::uint32_t response = 1;
    EXPECT_FALSE(Sim(kHome, kHome).Ping(response));
    ASSERT_TRUE(Sim(kHome, kStranger).Ping(response));
    EXPECT_EQ(response, kOk);
    EXPECT_EQ(Folder(), before);

    // An address this PC does not have cannot be listened on: the service does not start.
    window.Clear();
    s.listenAddress = "192.0.2.1";
    rules->SetSettings(s);
    EXPECT_FALSE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
    EXPECT_TRUE(window.notes.WaitFor(
        [](const Note& n) { return n.message == CM_HLKServiceFailed && n.value == HLK_ERR_BIND_PORT; }));
}

} // namespace
