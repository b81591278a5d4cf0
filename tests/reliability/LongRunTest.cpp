// Long run: many sequential connections of mixed conversations against one service. Open
// descriptors and threads, counted with the service stopped, must be exactly what they were
// after the first ten connections, and
// the live heap (and, outside AddressSanitizer, the resident memory) may grow only by a small
// stated tolerance.
//
// HARBORLOCK_LONGRUN_CONNECTIONS sets the count (default 100; the long run uses 1000).
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdio>

#include "HostProcess.h"
#include "QuarnexConnection.h"
#include "SFSProtocol.h"
#include "ServiceFixture.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header is not installed everywhere): live heap bytes, freed
// memory in quarantine not counted.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace quarnexsim;

namespace {

// Bytes the program has allocated and not freed.
std::size_t LiveHeapBytes()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

class LongRunTest : public InProcessServiceTest {
protected:
    // Figures with the service stopped: the listener and every worker joined and their records
    // released, so nothing still winding down after its last answer is counted.
    static ProcessFigures Stopped()
    {
        EXPECT_TRUE(HLKBackup::GetInstance()->HLK_Stop());
        return ProcessFigures::Now();
    }
};

TEST_F(LongRunTest, ThousandMixedConnectionsLeaveNothingBehind)
{
    const std::uint64_t connections = reliability::EnvNumber("HARBORLOCK_LONGRUN_CONNECTIONS", 100);
    ASSERT_GE(connections, 20u);
    const SimHeader header{0x00A1B2C3, 1024, 9, 8, 7};
    const std::string root = SandboxPath("backups");
    ASSERT_TRUE(OpenRepository(root, header.serialNumber, 1));
    std::uint16_t port = StartService();
    ASSERT_NE(port, 0);

    SimImage model;
    bool haveModel = false;
    ProcessFigures early;
    std::size_t earlyHeap = 0;
    std::map<std::string, int> kinds;
    for (std::uint64_t i = 0; i < connections; ++i) {
        SCOPED_TRACE("connection " + std::to_string(i));
        PlanOptions po;
        po.clusterSize = header.clusterSize;
        po.seed = static_cast<std::uint32_t>(i + 1);
        po.scratchPercent = 20;
        po.varyLengths = true;
        switch (i % 8) {
        case 0: {
            std::uint32_t response = 1;
            QuarnexSim sim("127.0.0.1", port);
            ASSERT_TRUE(sim.Ping(response) && response == 0);
            ++kinds["ping"];
            break;
        }
        case 1: {
            po.count = 40;
            const std::vector<SimCluster> c = ClusterPlan::Generate(po);
            ASSERT_TRUE(Push(port, header, true, c).completed);
            model = MergeModel::Full(header, c);
            haveModel = true;
            ++kinds["full backup"];
            break;
        }
        case 2: {
            po.count = 8;
            po.firstBlock = static_cast<std::uint32_t>(i % 50);
            const std::vector<SimCluster> c = ClusterPlan::Generate(po);
            const PushResult p = Push(port, header, false, c);
            ASSERT_TRUE(p.completed);
            model =
                p.fellBackToFull ? MergeModel::Full(header, c) : MergeModel::Incremental(model, header, c);
            ++kinds["incremental backup"];
            break;
        }
        case 3: {
            ASSERT_TRUE(testsupport::ServiceIdle(port));
            const reliability::RestoreOutcome r = reliability::RestoreFrom(port, header.serialNumber);
            ASSERT_TRUE(haveModel && r.complete && reliability::SameImage(r.image, model));
            ++kinds["restore"];
            break;
        }
        case 4: {
            QuarnexSim sim("127.0.0.1", port);
            const InquiryResult r = sim.Inquire(header.serialNumber);
            ASSERT_TRUE(r.answered && r.response == 0 && r.gotDone && r.header == header);
            ++kinds["inquiry"];
            break;
        }
        case 5: { // a backup cut off after HELLO
            QuarnexConnection c;
            ASSERT_TRUE(c.Connect("127.0.0.1", port));
            const std::vector<std::uint8_t> hello = QuarnexSim::HelloPayload(header, true);
            ASSERT_TRUE(c.SendWord(SFS_CMD_HELLO) && c.SendBytes(hello.data(), hello.size()));
            std::uint32_t answer = 1;
            ASSERT_TRUE(c.ReadWord(answer, 10000));
            ++kinds["cut-off backup"];
            break;
        }
        case 6: { // a word that is no command
            QuarnexConnection c;
            ASSERT_TRUE(c.Connect("127.0.0.1", port));
            ASSERT_TRUE(c.SendWord(0x80000000u));
            EXPECT_EQ(c.WaitClosed(10000), QuarnexConnection::CloseState::Closed);
            ++kinds["unknown command"];
            break;
        }
        default: {
            const reliability::RestoreOutcome r = reliability::RestoreFrom(port, 0x0BADF00D);
            ASSERT_TRUE(r.refused);
            ++kinds["refused restore"];
            break;
        }
        }
        // The notes the window keeps are the test's memory, not the service's.
        m_window.Clear();
        if (i == 9) {
            early = Stopped();
            earlyHeap = LiveHeapBytes();
            port = StartService();
            ASSERT_NE(port, 0);
        }
    }
    const ProcessFigures late = Stopped();
    const std::size_t lateHeap = LiveHeapBytes();

    std::printf("[ long  ] %llu connections:", static_cast<unsigned long long>(connections));
    for (const auto& [k, n] : kinds)
        std::printf(" %s %d,", k.c_str(), n);
    std::printf("\n[ long  ] after 10: %zu descriptors, %zu threads, %zu KiB resident, %zu KiB live heap\n",
                early.descriptors, early.threads, early.rssKiB, earlyHeap / 1024);
    std::printf("[ long  ] at the end: %zu descriptors, %zu threads, %zu KiB resident, %zu KiB live heap\n",
                late.descriptors, late.threads, late.rssKiB, lateHeap / 1024);

    EXPECT_EQ(late.descriptors, early.descriptors) << "descriptors leak";
    EXPECT_EQ(late.threads, early.threads) << "threads are left behind";
    // Tolerance: the test's own bookkeeping (the notes of the window, gtest's trace) and
    // allocator caches; a leak of even one cluster buffer per backup exceeds it within 100
    // connections.
    constexpr std::size_t kHeapTolerance = 512 * 1024;
    EXPECT_LE(lateHeap, earlyHeap + kHeapTolerance) << "the live heap grew";
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer keeps freed memory in quarantine, so resident memory only means
    // something without it.
    constexpr std::size_t kRssToleranceKiB = 4096;
    EXPECT_LE(late.rssKiB, early.rssKiB + kRssToleranceKiB) << "resident memory grew";
#endif
    StopAll();
}

} // namespace
