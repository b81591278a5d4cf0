// The benchmark's own logic: what its plans send, that its baselines move exactly the bytes
// they are given, that its restore check can fail, and how its table judges a figure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Baseline.h"
#include "BenchClient.h"
#include "BenchPlan.h"
#include "BenchService.h"
#include "HLKBackup.h"
#include "HLKWire.h"
#include "MemoryProbe.h"
#include "Platform.h"
#include "ResultTable.h"
#include "TestSandbox.h"

using namespace bench;

namespace {

std::vector<PlannedCluster> All(BenchPlan plan)
{
    std::vector<PlannedCluster> out;
    PlannedCluster c;
    plan.Rewind();
    while (plan.Next(c))
        out.push_back(c);
    return out;
}

} // namespace

TEST(BenchPlanTest, FullPlanSendsEveryBlockOnceInOrderAtFullLength)
{
    const std::vector<PlannedCluster> all = All(BenchPlan::Full(300, 512));
    ASSERT_EQ(all.size(), 300u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].blockID, i + 1);
        EXPECT_EQ(all[i].mode, kModeMain);
        EXPECT_EQ(all[i].length, 512u);
        EXPECT_EQ(all[i].generation, 0u);
    }
    EXPECT_EQ(BenchPlan::Full(300, 512).StreamBytes(), 300u * (16 + 512));
}

TEST(BenchPlanTest, IncrementalIsATenthHalfMainInOrderHalfScratchShuffled)
{
    const std::uint32_t blocks = 4000;
    const std::vector<PlannedCluster> all = All(BenchPlan::Incremental(blocks, 65536));
    ASSERT_EQ(all.size(), blocks / 10);
    std::vector<std::uint32_t> main, scratch;
    for (const PlannedCluster& c : all) {
        EXPECT_TRUE(BenchPlan::ReplacedByIncremental(c.blockID));
        EXPECT_GE(c.blockID, 1u);
        EXPECT_LE(c.blockID, blocks);
        EXPECT_EQ(c.generation, 1u);
        (c.mode == kModeMain ? main : scratch).push_back(c.blockID);
    }
    EXPECT_EQ(main.size(), scratch.size());
    EXPECT_TRUE(std::is_sorted(main.begin(), main.end()));
    EXPECT_FALSE(std::is_sorted(scratch.begin(), scratch.end()));
    std::set<std::uint32_t> distinct(main.begin(), main.end());
    distinct.insert(scratch.begin(), scratch.end());
    EXPECT_EQ(distinct.size(), all.size());
    // Spread over the transfer, not all scratch clusters at the end.
    EXPECT_EQ(all[0].mode, kModeMain);
    EXPECT_EQ(all[1].mode, kModeScratch);
}

TEST(BenchPlanTest, FullWithScratchSendsEveryBlockOnceWithTheScratchShareSpreadOverTheTransfer)
{
    const std::uint32_t blocks = 10000;
    const std::vector<PlannedCluster> all = All(BenchPlan::FullWithScratch(blocks, 65536, 30));
    ASSERT_EQ(all.size(), blocks);
    std::vector<std::uint32_t> main, scratch;
    std::size_t scratchInFirstHalf = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].length, 65536u);
        EXPECT_EQ(all[i].generation, 0u);
        (all[i].mode == kModeMain ? main : scratch).push_back(all[i].blockID);
        scratchInFirstHalf += all[i].mode == kModeScratch && i < all.size() / 2;
    }
    EXPECT_NEAR(double(scratch.size()) / blocks, 0.30, 0.02);
    EXPECT_NEAR(double(scratchInFirstHalf) / scratch.size(), 0.5, 0.02);
    EXPECT_TRUE(std::is_sorted(main.begin(), main.end()));
    EXPECT_FALSE(std::is_sorted(scratch.begin(), scratch.end()));
    std::set<std::uint32_t> distinct(main.begin(), main.end());
    distinct.insert(scratch.begin(), scratch.end());
    EXPECT_EQ(distinct.size(), std::size_t(blocks));
    EXPECT_EQ(*distinct.begin(), 1u);
    EXPECT_EQ(*distinct.rbegin(), blocks);
    // Without scratch it is the plain full plan.
    for (const PlannedCluster& c : All(BenchPlan::FullWithScratch(500, 512, 0)))
        EXPECT_EQ(c.mode, kModeMain);
}

TEST(BenchPlanTest, ScratchOnlyPlanHoldsEveryBlockOnceAsScratch)
{
    const std::vector<PlannedCluster> all = All(BenchPlan::ScratchOnly(1000, 512, 9999));
    ASSERT_EQ(all.size(), 1000u);
    std::set<std::uint32_t> ids;
    for (const PlannedCluster& c : all) {
        EXPECT_EQ(c.mode, kModeScratch);
        EXPECT_EQ(c.length, 512u); // capped at the cluster size
        ids.insert(c.blockID);
    }
    EXPECT_EQ(ids.size(), 1000u);
    EXPECT_EQ(*ids.begin(), 1u);
    EXPECT_EQ(*ids.rbegin(), 1000u);
}

TEST(BenchPlanTest, DataPoolSlicesAreStablePerBlockAndGeneration)
{
    const DataPool pool;
    const std::uint8_t* a = pool.Slice(7, 0, 65536);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, pool.Slice(7, 0, 65536));
    const std::uint8_t* b = pool.Slice(7, 1, 65536);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(std::vector<std::uint8_t>(a, a + 64), std::vector<std::uint8_t>(b, b + 64));
    EXPECT_EQ(pool.Slice(7, 0, 65537), nullptr);
}

class BaselineTest : public SandboxTest {};

TEST_F(BaselineTest, ReceiverStoresTheWholeStreamAndTheCopyMatchesIt)
{
    const DataPool pool;
    BackupIdentity id;
    id.clusterSize = 512;
    BenchPlan plan = BenchPlan::Full(5000, 512);
    const std::string stream = SandboxPath("stream.bin");
    const std::string copy = SandboxPath("copy.bin");
    ASSERT_GE(Baseline::ReceiveAndCopy(id, plan, pool, stream, copy), 0.0);
    const std::string received = ReadFile(stream);
    EXPECT_EQ(received.size(), plan.StreamBytes() + 40); // HELLO, SIZE and DONE included
    EXPECT_EQ(ReadFile(copy), received);
    // The stream starts with the HELLO word and carries the first cluster's data.
    ASSERT_GT(received.size(), 60u);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(received.data());
    EXPECT_EQ(GetBE(bytes), kCmdHello);
    EXPECT_EQ(GetBE(bytes + 36), kCmdCluster);
    EXPECT_EQ(GetBE(bytes + 40), 1u);
    EXPECT_TRUE(std::equal(bytes + 52, bytes + 52 + 512, pool.Slice(1, 0, 512)));
}

TEST_F(BaselineTest, SenderMovesEveryFileInOrder)
{
    WriteFile(SandboxPath("a"), std::string(3 << 20, 'a'));
    WriteFile(SandboxPath("b"), std::string(12345, 'b'));
    std::uint64_t bytes = 0;
    ASSERT_GE(Baseline::SendFiles({SandboxPath("a"), SandboxPath("b")}, bytes), 0.0);
    EXPECT_EQ(bytes, (3u << 20) + 12345u);

    ASSERT_TRUE(Baseline::CopyFiles({SandboxPath("a"), SandboxPath("b")}, SandboxPath("c")));
    EXPECT_EQ(ReadFile(SandboxPath("c")), std::string(3 << 20, 'a') + std::string(12345, 'b'));
}

class BenchServiceTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        // A listener that polls often, so that back-to-back conversations start at once.
        HLKTimeouts t;
        t.listenerPollMs = 20;
        HLKBackup::SetTimeouts(t);
    }
    void TearDown() override
    {
        HLKBackup::SetTimeouts(HLKTimeouts{});
        SandboxTest::TearDown();
    }
};

// The checks the benchmark relies on hold against the real service, and they can fail.
TEST_F(BenchServiceTest, RestoreCheckSeesTheIncrementalAndCatchesStaleData)
{
    const DataPool pool;
    BenchService service(SandboxPath("work"));
    BackupIdentity id;
    id.clusterSize = 512;
    const std::string serverID = HLKWire::formatServerId(id.serialNumber);
    ASSERT_TRUE(service.PrepareServer(serverID));
    BenchClient client(service.Port());
    std::string failure;

    BenchPlan full = BenchPlan::Full(400, 512);
    service.Window().Reset();
    ASSERT_TRUE(client.Push(id, true, full, pool, failure)) << failure;
    ASSERT_TRUE(service.Window().WaitSaveDone(60000));
    const std::vector<std::string> image = service.CurrentImageFiles(serverID);
    ASSERT_EQ(image.size(), 1u);
    EXPECT_EQ(hl::Os().FileSize(image[0]), 20 + 400 * (12 + 512));
    ASSERT_TRUE(client.Ping());
    // Its notifications were handled as the window handles them: lines in the activity log.
    const std::string log = ReadFile(SandboxPath("work/log/activityLog.txt"));
    EXPECT_NE(log.find("Backup initated from Quarnex Server ID: " + serverID), std::string::npos) << log;
    EXPECT_NE(log.find("Backup transfer "), std::string::npos) << log;
    EXPECT_GE(service.Window().LinesLogged(), 3u);

    BenchPlan incremental = BenchPlan::Incremental(400, 512);
    service.Window().Reset();
    ASSERT_TRUE(client.Push(id, false, incremental, pool, failure)) << failure;
    ASSERT_TRUE(service.Window().WaitSaveDone(60000));
    ASSERT_TRUE(client.Ping());

    const RestoreCheck good = client.Restore(id, 400, true, pool, true);
    EXPECT_TRUE(good.done);
    EXPECT_TRUE(good.contentOk);
    EXPECT_EQ(good.records, 400u);
    EXPECT_EQ(good.bytes, 24 + 400u * (16 + 512) + 4);
    ASSERT_TRUE(client.Ping());

    // The framing-only receiver of the measured restores sees the same stream.
    const RestoreCheck framed = client.Restore(id, 400, true, pool, false);
    EXPECT_TRUE(framed.done);
    EXPECT_TRUE(framed.contentOk);
    EXPECT_EQ(framed.records, 400u);
    EXPECT_EQ(framed.bytes, good.bytes);
    ASSERT_TRUE(client.Ping());

    // Expecting the data before the incremental: the replaced blocks differ.
    EXPECT_FALSE(client.Restore(id, 400, false, pool, true).contentOk);
    ASSERT_TRUE(client.Ping());
    // Expecting more blocks than stored.
    EXPECT_FALSE(client.Restore(id, 401, true, pool, false).contentOk);
}

TEST_F(BaselineTest, IncrementalBaselineKeepsTheIncrementAndCopiesTheOldImage)
{
    const DataPool pool;
    BackupIdentity id;
    id.clusterSize = 512;
    BenchPlan plan = BenchPlan::Incremental(2000, 512);
    WriteFile(SandboxPath("image_000"), std::string(70000, 'x'));
    WriteFile(SandboxPath("image_001"), std::string(300, 'y'));
    ASSERT_GE(Baseline::ReceiveAndCopyImage(id, plan, pool, SandboxPath("stream.bin"),
                                            {SandboxPath("image_000"), SandboxPath("image_001")},
                                            SandboxPath("copy.bin")),
              0.0);
    EXPECT_EQ(ReadFile(SandboxPath("stream.bin")).size(), plan.StreamBytes() + 40);
    EXPECT_EQ(ReadFile(SandboxPath("copy.bin")), std::string(70000, 'x') + std::string(300, 'y'));
}

namespace {

// A stand-in for the service's restore side: answers one RESTORE with OK, a header and then
// `stream`, sent in pieces of `piece` bytes with a pause between them so that the client's
// reads end at every possible place inside words and headers.
class FakeRestoreServer {
public:
    FakeRestoreServer(std::vector<std::uint8_t> stream, std::size_t piece)
        : m_listen(hl::Os().Listen(0, 1)), m_stream(std::move(stream)), m_piece(piece)
    {
        m_done = std::async(std::launch::async, [this] { Serve(); });
    }
    ~FakeRestoreServer()
    {
        m_done.wait();
        hl::Os().Close(m_listen);
    }
    std::uint16_t Port() const { return static_cast<std::uint16_t>(hl::Os().LocalPort(m_listen)); }

private:
    void Serve()
    {
        hl::Platform& os = hl::Os();
        if (os.WaitReadable(m_listen, 20000) != 1)
            return;
        const int c = os.Accept(m_listen, nullptr);
        if (c < 0)
            return;
        std::uint8_t request[8];
        std::size_t got = 0;
        while (got < 8) {
            const std::int64_t n = os.Recv(c, request + got, 8 - got);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        std::uint8_t head[24] = {};
        PutBE(head, kRspOk);
        PutBE(head + 4, GetBE(request + 4));
        PutBE(head + 8, 512);
        os.SendAll(c, head, sizeof head);
        for (std::size_t at = 0; at < m_stream.size(); at += m_piece) {
            os.SendAll(c, m_stream.data() + at, std::min(m_piece, m_stream.size() - at));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        os.Close(c);
    }

    int m_listen;
    std::vector<std::uint8_t> m_stream;
    std::size_t m_piece;
    std::future<void> m_done;
};

std::vector<std::uint8_t> RestoreStream(std::uint32_t records, bool done)
{
    std::vector<std::uint8_t> out;
    for (std::uint32_t id = 1; id <= records; ++id) {
        std::uint8_t h[16];
        PutBE(h, kCmdCluster);
        PutBE(h + 4, id);
        PutBE(h + 8, kModeMain);
        PutBE(h + 12, 512);
        out.insert(out.end(), h, h + 16);
        out.insert(out.end(), 512, static_cast<std::uint8_t>(id));
    }
    if (done) {
        std::uint8_t w[4];
        PutBE(w, kCmdDone);
        out.insert(out.end(), w, w + 4);
    }
    return out;
}

} // namespace

// The framing receiver of the measured restores must follow records cut anywhere by the reads.
TEST(BenchClientTest, FramingFollowsRecordsCutAtEveryPlace)
{
    const DataPool pool;
    BackupIdentity id;
    id.clusterSize = 512;
    for (std::size_t piece : {1u, 3u, 7u, 13u}) {
        SCOPED_TRACE(piece);
        FakeRestoreServer server(RestoreStream(3, true), piece);
        const RestoreCheck r = BenchClient(server.Port()).Restore(id, 3, false, pool, false);
        EXPECT_TRUE(r.done) << r.failure;
        EXPECT_TRUE(r.contentOk);
        EXPECT_EQ(r.records, 3u);
        EXPECT_EQ(r.bytes, 24 + 3 * (16 + 512) + 4u);
    }
}

TEST(BenchClientTest, FramingReportsAStreamWithoutDoneOrWithAStrangeWord)
{
    const DataPool pool;
    BackupIdentity id;
    id.clusterSize = 512;
    {
        FakeRestoreServer server(RestoreStream(2, false), 4096);
        const RestoreCheck r = BenchClient(server.Port()).Restore(id, 2, false, pool, false);
        EXPECT_FALSE(r.done);
        EXPECT_EQ(r.failure, "stream ended without DONE");
    }
    {
        std::vector<std::uint8_t> stream = RestoreStream(2, true);
        PutBE(stream.data() + 16 + 512, 0x55AA0007); // the second record's word
        FakeRestoreServer server(stream, 4096);
        const RestoreCheck r = BenchClient(server.Port()).Restore(id, 2, false, pool, false);
        EXPECT_FALSE(r.done);
        EXPECT_EQ(r.failure, "bad word in the stream");
    }
    {
        // Blocks out of order are framed but not taken for the backup.
        std::vector<std::uint8_t> stream = RestoreStream(2, true);
        PutBE(stream.data() + 4, 2);
        FakeRestoreServer server(stream, 4096);
        const RestoreCheck r = BenchClient(server.Port()).Restore(id, 2, false, pool, false);
        EXPECT_TRUE(r.done);
        EXPECT_FALSE(r.contentOk);
    }
}

TEST_F(BenchServiceTest, PushReportsWhereTheServiceRefused)
{
    const DataPool pool;
    BenchService service(SandboxPath("work"));
    BackupIdentity id;
    id.clusterSize = 512;
    BenchClient client(service.Port());
    std::string failure;
    BenchPlan plan = BenchPlan::Incremental(100, 512);
    // No stored backup to extend: the service refuses the incremental at HELLO.
    EXPECT_FALSE(client.Push(id, false, plan, pool, failure));
    EXPECT_EQ(failure, "HELLO refused");
}

#ifdef HARBORLOCK_BENCH_HOST
// The memory figure reads a real process of its own.
TEST_F(BenchServiceTest, MemoryProbeReadsTheHostProcess)
{
    MemoryProbe probe;
    ASSERT_TRUE(probe.Start(HARBORLOCK_BENCH_HOST, SandboxPath("host")));
    ASSERT_GT(probe.Port(), 0);
    EXPECT_TRUE(BenchClient(probe.Port()).Ping());
    // Resident first: the process may still grow, and a peak read later covers it.
    const std::int64_t resident = probe.ResidentBytes();
    const std::int64_t peak = probe.PeakBytes();
    EXPECT_GT(peak, 0);
    EXPECT_GE(peak, resident);
    probe.Stop();
    EXPECT_EQ(probe.PeakBytes(), -1); // nothing left to read
}
#endif

TEST(ResultTableTest, RatiosAreJudgedAgainstTheirTargets)
{
    ResultTable table;
    table.Add({"met", "s", 1.0, 1.0, 1.10, "", 0.5, 0.25});
    table.Add({"not measured", "s", -1, 2.0, 1.10, "skipped"});
    EXPECT_TRUE(table.AllMet());
    EXPECT_NE(table.Markdown().find("| met | 1.00 s | 1.00 s | 1.00 | <= 1.10 | 2.00 | met |"),
              std::string::npos);
    EXPECT_NE(table.Text().find("skipped"), std::string::npos);

    table.Add({"missed", "s", 1.2, 1.0, 1.10, ""});
    EXPECT_FALSE(table.AllMet());
    EXPECT_NE(table.Markdown().find("MISSED"), std::string::npos);
}
