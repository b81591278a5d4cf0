// A full backup whose clusters are all scratch clusters and whose scratch data passes 4 GiB
// (4.5 GiB of 64 KiB clusters), pushed over loopback and restored byte for byte against the
// simulator's merge model. It writes about 14 GiB and takes minutes, so it runs only when
// HARBORLOCK_LARGE_SCRATCH=1 (scripts/reliability.sh largescratch); the switch between the
// index entry widths is covered with small files by HLKWideScratchTest.
//
// HARBORLOCK_LARGE_SCRATCH_CLUSTERS sets the number of clusters (default 73728: 4.5 GiB).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "ServiceFixture.h"

using namespace quarnexsim;

namespace {

constexpr std::uint32_t kClusterSize = 65536;
const SimHeader kHeader{0x00B16B16, kClusterSize, 3, 4, 5};
// The last clusters repeat the blockIDs of the first ones: equal blockIDs below and beyond
// 4 GiB of scratch data, whose arrival order the merge must keep.
constexpr std::uint32_t kRepeats = 64;

class LargeScratchTest : public InProcessServiceTest {};

// Arrival i carries this blockID: a permutation of 1..n - kRepeats, then the first kRepeats
// blockIDs again.
std::uint32_t BlockOf(std::uint64_t i, std::uint64_t n)
{
    const std::uint64_t distinct = n - kRepeats;
    if (i >= distinct)
        i -= distinct;
    // A permutation as long as 40503 and the count are coprime, which the test checks.
    return static_cast<std::uint32_t>((i * 40503) % distinct + 1);
}

void Contents(std::vector<std::uint8_t>& data, std::uint64_t arrival)
{
    data.resize(kClusterSize);
    ClusterPlan::Fill(data, 0x5EED0000ull + arrival);
}

TEST_F(LargeScratchTest, AFullBackupOfMoreThanFourGiBOfScratchRestoresByteForByte)
{
    if (reliability::EnvNumber("HARBORLOCK_LARGE_SCRATCH", 0) == 0)
        GTEST_SKIP() << "set HARBORLOCK_LARGE_SCRATCH=1 (writes about 14 GiB)";
    const std::uint64_t n = reliability::EnvNumber("HARBORLOCK_LARGE_SCRATCH_CLUSTERS", 73728);
    ASSERT_GT(n, std::uint64_t(kRepeats) * 2);
    ASSERT_EQ(std::gcd(n - kRepeats, std::uint64_t(40503)), 1u) << "the blockIDs would not be a permutation";
    // Otherwise nothing passes the 32-bit offsets.
    ASSERT_GT(n * (kClusterSize + 12), 0x100000000ull) << "the clusters must hold more than 4 GiB";

    const std::string root = SandboxPath("backups");
    ASSERT_TRUE(OpenRepository(root, kHeader.serialNumber, 0));
    const std::uint16_t port = StartService();
    ASSERT_NE(port, 0);

    // The model's order, from clusters that carry only their arrival number; the data of each
    // record is made again from that number when it comes back.
    std::vector<SimCluster> skeleton(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        skeleton[i].blockID = BlockOf(i, n);
        skeleton[i].mode = kModeScratch;
        skeleton[i].data.resize(8);
        std::memcpy(skeleton[i].data.data(), &i, 8);
    }
    const SimImage model = MergeModel::Full(kHeader, skeleton);
    skeleton.clear();
    ASSERT_EQ(model.records.size(), n);

    QuarnexSim sim("127.0.0.1", port);
    sim.SetTimeoutMs(120000);
    std::uint64_t next = 0;
    const PushResult pushed = sim.Push(kHeader, true, static_cast<std::uint32_t>(n), [&](SimCluster& c) {
        if (next == n)
            return false;
        c.blockID = BlockOf(next, n);
        c.mode = kModeScratch;
        Contents(c.data, next);
        ++next;
        return true;
    });
    ASSERT_TRUE(pushed.completed) << pushed.failure;
    ASSERT_EQ(pushed.clustersSent, n);
    // The merge of 9 GiB of reading and writing: minutes, not hours.
    ASSERT_TRUE(m_window.WaitForMessage(CM_HLKSaveBackupDone, 60 * 60 * 1000));
    ASSERT_TRUE(Saved()) << "the backup was not saved";

    std::uint64_t k = 0;
    std::uint64_t mismatches = 0;
    std::string first;
    std::vector<std::uint8_t> expected;
    SimHeader header;
    const RestoreResult restored = sim.Restore(
        kHeader.serialNumber,
        [&](const SimCluster& c) {
            bool same = k < n;
            if (same) {
                const SimCluster& m = model.records[k];
                std::uint64_t arrival = 0;
                std::memcpy(&arrival, m.data.data(), 8);
                Contents(expected, arrival);
                same = c.blockID == m.blockID && c.mode == m.mode && c.data == expected;
            }
            if (!same && mismatches++ == 0)
                first = "record " + std::to_string(k) + " (blockID " + std::to_string(c.blockID) + ")";
            ++k;
        },
        &header);
    ASSERT_TRUE(restored.gotDone) << restored.failure;
    EXPECT_EQ(header, kHeader);
    EXPECT_EQ(k, n);
    EXPECT_EQ(mismatches, 0u) << "first difference at " << first;
    EXPECT_TRUE(TemporaryFiles(root).empty());
}

} // namespace
