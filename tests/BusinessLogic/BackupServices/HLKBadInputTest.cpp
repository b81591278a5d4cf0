// Broken, truncated, silent and out-of-order peers. In every case: the answer on the wire and
// the notifications are the designed ones, the connection ends, the stored backup is
// unchanged, no half-made backup is left behind, and the service goes on accepting.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "HLKTestHarness.h"

using namespace quarnexsim;

namespace {

constexpr std::uint32_t kHello = 0x55AA0001;
constexpr std::uint32_t kSize = 0x55AA0002;
constexpr std::uint32_t kCluster = 0x55AA0003;
constexpr std::uint32_t kDone = 0x55AA0004;
constexpr std::uint32_t kPing = 0x55AA0005;
constexpr std::uint32_t kRestore = 0x55AA0006;
constexpr std::uint32_t kInquiry = 0x55AA0007;
constexpr std::uint32_t kSerial = 0x0001A2B3;

std::vector<std::uint8_t> Word(std::uint32_t w)
{
    std::vector<std::uint8_t> b(4);
    PutBE(b.data(), w);
    return b;
}

std::vector<std::uint8_t> ClusterHeaderBytes(std::uint32_t id, std::uint32_t mode, std::uint32_t length)
{
    std::vector<std::uint8_t> b(12);
    PutBE(b.data(), id);
    PutBE(b.data() + 4, mode);
    PutBE(b.data() + 8, length);
    return b;
}

class HLKBadInputTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        if (HasFatalFailure())
            return;
        header = SimHeader{kSerial, 1024, 1, 2, 3};
        stored = {Cluster(1, kModeMain, 1024, 1), Cluster(2, kModeMain, 1000, 1),
                  Cluster(3, kModeScratch, 5, 1)};
        ASSERT_NO_FATAL_FAILURE(PushOk(header, true, stored));
        AllowIncrementals("0001A2B3");
        before = StoredImage("0001A2B3");
        ASSERT_EQ(before, MergeModel::Serialize(MergeModel::Full(header, stored)));
        layoutBefore = Layout();
        window.Clear();
    }

    // Every directory and file under the backup folder, except configuration rewrites.
    std::set<std::string> Layout()
    {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(m_root))
            out.insert(std::filesystem::relative(e.path(), m_root).string());
        return out;
    }

    // The conversation ended; nothing stored changed; the service still answers.
    void ExpectUnchanged()
    {
        ASSERT_TRUE(Idle());
        EXPECT_EQ(StoredImage("0001A2B3"), before);
        EXPECT_EQ(Layout(), layoutBefore);
    }

    // Reads the service's answer words until it closes.
    std::vector<std::uint32_t> Answers(QuarnexConnection& c)
    {
        std::vector<std::uint32_t> words;
        std::uint32_t w = 0;
        while (c.ReadWord(w, 20000))
            words.push_back(w);
        return words;
    }

    std::vector<std::uint8_t> Hello(const SimHeader& h, bool full)
    {
        std::vector<std::uint8_t> b = Word(kHello);
        const std::vector<std::uint8_t> p = QuarnexSim::HelloPayload(h, full);
        b.insert(b.end(), p.begin(), p.end());
        return b;
    }

    static void Append(std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b)
    {
        a.insert(a.end(), b.begin(), b.end());
    }

    SimHeader header;
    std::vector<SimCluster> stored;
    std::vector<std::uint8_t> before;
    std::set<std::string> layoutBefore;
};

// Every prefix of every message, the peer closing right after it. The prefixes that end
// inside a payload must not produce a response word.
TEST_F(HLKBadInputTest, EveryMessageCutAtEveryFieldEndsCleanly)
{
    struct Case {
        std::string name;
        std::vector<std::uint8_t> complete; // what was accepted before the cut message
        std::vector<std::uint8_t> cut;      // the message that gets cut
        std::vector<int> errors;            // window errors expected for a cut inside it
    };
    std::vector<std::uint8_t> helloOk = Hello(header, true);
    std::vector<std::uint8_t> sizeOk = Word(kSize);
    Append(sizeOk, Word(3));
    std::vector<std::uint8_t> cluster = Word(kCluster);
    Append(cluster, ClusterHeaderBytes(7, kModeMain, 16));
    Append(cluster, std::vector<std::uint8_t>(16, 0xAB));
    std::vector<std::uint8_t> incrHello = Hello(header, false);
    std::vector<std::uint8_t> afterSize = helloOk;
    Append(afterSize, sizeOk);
    std::vector<std::uint8_t> incrAfterSize = incrHello;
    Append(incrAfterSize, sizeOk);
    std::vector<std::uint8_t> restore = Word(kRestore);
    Append(restore, Word(kSerial));

    const std::vector<Case> cases = {
        {"HELLO", {}, helloOk, {4}},
        {"SIZE", helloOk, sizeOk, {4}},
        {"CLUSTER of a full backup", afterSize, cluster, {4}},
        {"CLUSTER of an incremental", incrAfterSize, cluster, {4}},
        {"RESTORE", {}, restore, {5}},
    };
    for (const Case& k : cases) {
        // Cut points: each field boundary and the middle of each field.
        std::set<std::size_t> cuts;
        for (std::size_t at = 1; at < k.cut.size(); ++at)
            if (at % 4 == 0 || at % 4 == 2 || at >= 16)
                cuts.insert(std::min(at, k.cut.size() - 1));
        for (std::size_t at : cuts) {
            SCOPED_TRACE(k.name + " cut after " + std::to_string(at) + " bytes");
            window.Clear();
            QuarnexConnection c;
            ASSERT_TRUE(Connect(c));
            ASSERT_TRUE(c.SendBytes(k.complete.data(), k.complete.size()));
            ASSERT_TRUE(c.SendBytes(k.cut.data(), at));
            // Read the answers to the complete part, then go away mid-message.
            std::size_t okWords =
                k.complete.empty() ? 0 : (k.complete == afterSize || k.complete == incrAfterSize ? 2 : 1);
            for (std::size_t i = 0; i < okWords; ++i) {
                std::uint32_t w = 1;
                ASSERT_TRUE(c.ReadWord(w, 20000));
                EXPECT_EQ(w, kOk);
            }
            c.Close();
            ASSERT_NO_FATAL_FAILURE(ExpectUnchanged());
            const bool insideCommandWord = at < 4;
            if (insideCommandWord && k.complete.empty()) {
                EXPECT_TRUE(window.Errors().empty());
            } else {
                EXPECT_EQ(window.Errors(), k.errors);
            }
        }
    }
}

TEST_F(HLKBadInputTest, ASilentPeerIsDroppedWithoutAnAnswer)
{
    // Half a HELLO payload, then silence: the payload read times out.
    QuarnexConnection c;
    ASSERT_TRUE(Connect(c));
    std::vector<std::uint8_t> hello = Hello(header, true);
    ASSERT_TRUE(c.SendBytes(hello.data(), 14));
    EXPECT_TRUE(Answers(c).empty());
    ASSERT_NO_FATAL_FAILURE(ExpectUnchanged());
    EXPECT_EQ(window.Errors(), std::vector<int>{4});

    // Silence in the middle of a backup, after SIZE.
    window.Clear();
    QuarnexConnection d;
    ASSERT_TRUE(Connect(d));
    std::vector<std::uint8_t> msg = Hello(header, true);
    Append(msg, Word(kSize));
    Append(msg, Word(1));
    Append(msg, Word(kCluster));
    Append(msg, ClusterHeaderBytes(9, kModeMain, 100));
    ASSERT_TRUE(d.SendBytes(msg.data(), msg.size()));
    const std::vector<std::uint32_t> answers = Answers(d);
    EXPECT_EQ(answers, (std::vector<std::uint32_t>{kOk, kOk}));
    ASSERT_NO_FATAL_FAILURE(ExpectUnchanged());
    EXPECT_EQ(window.Errors(), std::vector<int>{4});
}

TEST_F(HLKBadInputTest, ACommandWordTricklingInIsAssembled)
{
    QuarnexConnection c;
    ASSERT_TRUE(Connect(c));
    const std::vector<std::uint8_t> ping = Word(kPing);
    for (std::uint8_t b : ping) {
        ASSERT_TRUE(c.SendBytes(&b, 1));
        // Longer than one command poll: the partial word survives the poll time-outs.
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
    }
    std::uint32_t w = 1;
    ASSERT_TRUE(c.ReadWord(w, 20000));
    EXPECT_EQ(w, kOk);
    EXPECT_EQ(c.WaitClosed(20000), QuarnexConnection::CloseState::Closed);
    EXPECT_TRUE(window.Notes().empty());
}

TEST_F(HLKBadInputTest, UnknownCommandsEndTheConversationSilently)
{
    for (std::uint32_t word : {0x80000000u, 0xFFFFFFFFu, 0x55AA0099u, 0x55AA0008u, 0u}) {
        SCOPED_TRACE(word);
        QuarnexConnection c;
        ASSERT_TRUE(Connect(c));
        ASSERT_TRUE(c.SendWord(word));
        EXPECT_TRUE(Answers(c).empty());
        ASSERT_NO_FATAL_FAILURE(ExpectUnchanged());
        EXPECT_TRUE(window.Notes().empty());
    }
}

TEST_F(HLKBadInputTest, CommandsOutOfOrderAreRefused)
{
    struct Case {
        std::string name;
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint32_t> answers;
        std::vector<int> errors;
        std::vector<unsigned> sequence; // window messages, progress aside
    };
    std::vector<std::uint8_t> size = Word(kSize);
    Append(size, Word(1));
    std::vector<std::uint8_t> cluster = Word(kCluster);
    Append(cluster, ClusterHeaderBytes(1, kModeMain, 4));
    Append(cluster, {1, 2, 3, 4});
    std::vector<std::uint8_t> helloThenCluster = Hello(header, true);
    Append(helloThenCluster, cluster);
    std::vector<std::uint8_t> helloThenDone = Hello(header, true);
    Append(helloThenDone, Word(kDone));
    std::vector<std::uint8_t> sizeTwice = Hello(header, true);
    Append(sizeTwice, size);
    Append(sizeTwice, size);

    const std::vector<Case> cases = {
        {"SIZE first", size, {kError}, {6}, {CM_HLKError}},
        {"DONE first", Word(kDone), {kError}, {}, {CM_HLKBackupTransferDone}},
        {"CLUSTER first", cluster, {}, {}, {}},
        {"CLUSTER before SIZE", helloThenCluster, {kOk}, {4}, {CM_HLKBackupInitiated, CM_HLKError}},
        {"DONE before SIZE",
         helloThenDone,
         {kOk, kError},
         {4},
         {CM_HLKBackupInitiated, CM_HLKBackupTransferDone, CM_HLKError}},
        {"SIZE twice",
         sizeTwice,
         {kOk, kOk, kError},
         {6, 4},
         {CM_HLKBackupInitiated, CM_HLKBackupStarted, CM_HLKError, CM_HLKError}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        window.Clear();
        QuarnexConnection c;
        ASSERT_TRUE(Connect(c));
        ASSERT_TRUE(c.SendBytes(k.bytes.data(), k.bytes.size()));
        EXPECT_EQ(Answers(c), k.answers);
        ASSERT_NO_FATAL_FAILURE(ExpectUnchanged());
        EXPECT_EQ(window.Errors(), k.errors);
        EXPECT_EQ(window.Sequence(), k.sequence);
        if (k.name == "DONE first") {
            EXPECT_FALSE(window.Notes().front().success);
        }
    }
}

TEST_F(HLKBadInputTest, BadClustersEndTheBackup)
{
    struct Case {
        std::string name;
        std::vector<std::uint8_t> cluster;
    };
    std::vector<std::uint8_t> tooLong = Word(kCluster);
    Append(tooLong, ClusterHeaderBytes(5, kModeMain, 1025)); // clusterSize is 1024; no data follows
    std::vector<std::uint8_t> mode4 = Word(kCluster);
    Append(mode4, ClusterHeaderBytes(5, 4, 2));
    Append(mode4, {9, 9});
    std::vector<std::uint8_t> mode0 = Word(kCluster);
    Append(mode0, ClusterHeaderBytes(5, 0, 0));
    for (const Case& k :
         std::vector<Case>{{"longer than clusterSize", tooLong}, {"mode 4", mode4}, {"mode 0", mode0}}) {
        for (bool full : {true, false}) {
            SCOPED_TRACE(k.name + (full ? " in a full backup" : " in an incremental"));
            window.Clear();
            std::vector<std::uint8_t> msg = Hello(header, full);
            Append(msg, Word(kSize));
            Append(msg, Word(2));
            Append(msg, Word(kCluster));
            Append(msg, ClusterHeaderBytes(4, kModeMain, 3));
            Append(msg, {1, 2, 3});
            Append(msg, k.cluster);
            Append(msg, Word(kDone)); // never read: the service has hung up
            QuarnexConnection c;
            ASSERT_TRUE(Connect(c));
            ASSERT_TRUE(c.SendBytes(msg.data(), msg.size()));
            EXPECT_EQ(Answers(c), (std::vector<std::uint32_t>{kOk, kOk}));
            ASSERT_NO_FATAL_FAILURE(ExpectUnchanged());
            EXPECT_EQ(window.Errors(), std::vector<int>{4});
            EXPECT_EQ(window.Sequence(),
                      (std::vector<unsigned>{CM_HLKBackupInitiated, CM_HLKBackupStarted, CM_HLKError}));
        }
    }
}

// A cluster size of 0 would divide by zero later, one above 65536 could never be restored and
// would make the service allocate on the peer's word: HELLO refuses both.
TEST_F(HLKBadInputTest, HelloRefusesUnusableClusterSizes)
{
    for (std::uint32_t size : {0u, 65537u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(size);
        window.Clear();
        SimHeader h = header;
        h.serialNumber = 0x00000077;
        h.clusterSize = size;
        QuarnexConnection c;
        ASSERT_TRUE(Connect(c));
        const std::vector<std::uint8_t> msg = Hello(h, true);
        ASSERT_TRUE(c.SendBytes(msg.data(), msg.size()));
        EXPECT_EQ(Answers(c), std::vector<std::uint32_t>{kError});
        ASSERT_NO_FATAL_FAILURE(ExpectUnchanged()); // not even a server record was made
        EXPECT_EQ(window.Errors(), (std::vector<int>{6, 4}));
    }
}

TEST_F(HLKBadInputTest, AHelloAfterSizeStartsAgainWithoutLeavingTheFirstRecord)
{
    QuarnexConnection c;
    ASSERT_TRUE(Connect(c));
    std::vector<std::uint8_t> msg = Hello(header, true);
    Append(msg, Word(kSize));
    Append(msg, Word(1));
    Append(msg, Word(kCluster));
    Append(msg, ClusterHeaderBytes(1, kModeMain, 2));
    Append(msg, {5, 5});
    Append(msg, Hello(header, true));
    Append(msg, Word(kSize));
    Append(msg, Word(1));
    Append(msg, Word(kCluster));
    Append(msg, ClusterHeaderBytes(8, kModeMain, 3));
    Append(msg, {6, 6, 6});
    Append(msg, Word(kDone));
    ASSERT_TRUE(c.SendBytes(msg.data(), msg.size()));
    EXPECT_EQ(Answers(c), (std::vector<std::uint32_t>{kOk, kOk, kOk, kOk, kOk}));
    ASSERT_TRUE(window.WaitForMessage(CM_HLKSaveBackupDone));
    ASSERT_TRUE(Idle());
    EXPECT_TRUE(window.Notes().back().success);
    const SimImage image = RestoreOk(kSerial);
    EXPECT_EQ(IdsOf(image), std::vector<std::uint32_t>{8});
    // Every backup directory left is a complete backup.
    for (const auto& e : std::filesystem::directory_iterator(m_root + "/0001A2B3")) {
        if (e.is_directory()) {
            EXPECT_TRUE(std::filesystem::exists(e.path() / "backup.cfg")) << e.path();
            EXPECT_TRUE(std::filesystem::exists(e.path() / "backup_000.dat")) << e.path();
        }
    }
}

// After a refused incremental HELLO the announced clusterSize has no buffer behind it; a
// CLUSTER then must not be read into one.
TEST_F(HLKBadInputTest, AClusterAfterARefusedIncrementalIsRefused)
{
    SimHeader fresh = header;
    fresh.serialNumber = 0x00000099; // no backup yet: incrementals are refused
    std::vector<std::uint8_t> msg = Hello(fresh, false);
    Append(msg, Word(kCluster));
    Append(msg, ClusterHeaderBytes(1, kModeMain, 1000));
    Append(msg, std::vector<std::uint8_t>(1000, 0x5A));
    QuarnexConnection c;
    ASSERT_TRUE(Connect(c));
    ASSERT_TRUE(c.SendBytes(msg.data(), msg.size()));
    EXPECT_EQ(Answers(c), std::vector<std::uint32_t>{kError});
    ASSERT_TRUE(Idle());
    EXPECT_EQ(StoredImage("0001A2B3"), before);
    EXPECT_EQ(window.Errors(), std::vector<int>{4});
    EXPECT_EQ(window.Sequence(), (std::vector<unsigned>{CM_HLKBackupInitiated, CM_HLKError}));
    std::vector<std::string> backups;
    Repo()->GetServer("00000099")->GetAllBackups(backups);
    EXPECT_TRUE(backups.empty());
}

TEST_F(HLKBadInputTest, InquiryCutShortIsRefused)
{
    QuarnexConnection c;
    ASSERT_TRUE(Connect(c));
    std::vector<std::uint8_t> msg = Word(kInquiry);
    msg.push_back(0);
    msg.push_back(1);
    ASSERT_TRUE(c.SendBytes(msg.data(), msg.size()));
    // The payload read times out; INQUIRY still answers with an error.
    EXPECT_EQ(Answers(c), std::vector<std::uint32_t>{kError});
    ASSERT_NO_FATAL_FAILURE(ExpectUnchanged());
    EXPECT_EQ(window.Errors(), std::vector<int>{5});
}

TEST_F(HLKBadInputTest, ASecondConnectionWaitsUntilTheRunningBackupEnds)
{
    QuarnexConnection first;
    ASSERT_TRUE(Connect(first));
    std::vector<std::uint8_t> msg = Hello(header, true);
    Append(msg, Word(kSize));
    Append(msg, Word(1));
    ASSERT_TRUE(first.SendBytes(msg.data(), msg.size()));
    std::uint32_t w = 1;
    ASSERT_TRUE(first.ReadWord(w, 20000));
    ASSERT_TRUE(first.ReadWord(w, 20000));
    ASSERT_EQ(w, kOk);

    QuarnexConnection second;
    ASSERT_TRUE(Connect(second)); // lands in the listen backlog
    ASSERT_TRUE(second.SendWord(kPing));
    // While the first conversation runs, nobody reads the second connection.
    EXPECT_FALSE(second.ReadWord(w, 300));

    std::vector<std::uint8_t> rest = Word(kCluster);
    Append(rest, ClusterHeaderBytes(1, kModeMain, 1));
    rest.push_back(42);
    Append(rest, Word(kDone));
    ASSERT_TRUE(first.SendBytes(rest.data(), rest.size()));
    ASSERT_TRUE(first.ReadWord(w, 20000));
    EXPECT_EQ(w, kOk);

    ASSERT_TRUE(second.ReadWord(w, 20000));
    EXPECT_EQ(w, kOk);
    EXPECT_EQ(second.WaitClosed(20000), QuarnexConnection::CloseState::Closed);
    ASSERT_TRUE(window.WaitForMessage(CM_HLKSaveBackupDone));
    EXPECT_TRUE(window.Notes().back().success);
}

} // namespace
