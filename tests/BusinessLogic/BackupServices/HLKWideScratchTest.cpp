// Scratch data past the point where the 8-byte scratch index entries end (4 GiB of TmpScratch).
// The switch point is lowered for these tests, so that a few hundred small clusters put scratch
// records on both sides of it: backups pushed over loopback, and acknowledged transfers
// finished at start-up, must restore byte for byte what the simulator's merge model says. The
// real 4 GiB case runs in the long reliability runs (LargeScratchTest).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "CBFMFile.h"
#include "HLKTestHarness.h"
#include "SessionData.h"

using namespace quarnexsim;

namespace {

const SimHeader kHeader{0x00C0FFEE, 1024, 11, 12, 13};
const char* const kServerId = "00C0FFEE";
// Scratch records starting here or later get wide index entries.
constexpr std::uint64_t kSwitch = 48 * 1024;

// Main clusters ascending, scratch clusters shuffled among them; then, after the rest, scratch
// clusters repeating blockIDs of the first scratch clusters, so that equal blockIDs sit on both
// sides of the switch point (their arrival order must survive the merge).
std::vector<SimCluster> Plan(std::uint32_t seed, std::uint32_t count, std::uint32_t first)
{
    PlanOptions po;
    po.clusterSize = kHeader.clusterSize;
    po.count = count;
    po.firstBlock = first;
    po.scratchPercent = 50;
    po.varyLengths = true;
    po.seed = seed;
    std::vector<SimCluster> clusters = ClusterPlan::Generate(po);
    std::vector<SimCluster> repeats;
    for (const SimCluster& c : clusters)
        if (MergeModel::IsScratch(c) && repeats.size() < 8)
            repeats.push_back(Cluster(c.blockID, kModeScratch, 100 + repeats.size(), seed + 7));
    clusters.insert(clusters.end(), repeats.begin(), repeats.end());
    return clusters;
}

// Offsets of the scratch records as the service files them.
std::vector<std::uint64_t> ScratchOffsets(const std::vector<SimCluster>& clusters)
{
    std::vector<std::uint64_t> offsets;
    std::uint64_t next = 0;
    for (const SimCluster& c : clusters) {
        if (!MergeModel::IsScratch(c))
            continue;
        offsets.push_back(next);
        next += 12 + c.data.size();
    }
    return offsets;
}

// The plan must put a good share of scratch records on each side, or the test proves nothing.
void ExpectBothSides(const std::vector<SimCluster>& clusters)
{
    std::size_t below = 0, beyond = 0;
    for (std::uint64_t offset : ScratchOffsets(clusters))
        (offset < kSwitch ? below : beyond) += 1;
    EXPECT_GE(below, 30u);
    EXPECT_GE(beyond, 30u);
}

class HLKWideScratchTest : public ServiceTest {
protected:
    void SetUp() override
    {
        SessionData::SetWideScratchOffset(kSwitch);
        ServiceTest::SetUp();
    }
    void TearDown() override
    {
        ServiceTest::TearDown();
        SessionData::SetWideScratchOffset(SessionData::kWideScratchOffset);
    }

    void Restart()
    {
        HLKBackup::Cleanup();
        ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
        port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
    }

    void LeaveAcknowledgedTransfer(bool full, const std::vector<SimCluster>& clusters)
    {
        ::LeaveAcknowledgedTransfer(*Repo(), kHeader, full, clusters);
    }

    void ExpectRestored(const SimImage& expected)
    {
        const SimImage restored = RestoreOk(kHeader.serialNumber);
        EXPECT_EQ(restored.records.size(), expected.records.size());
        EXPECT_TRUE(MergeModel::Serialize(restored) == MergeModel::Serialize(expected))
            << "the restored image differs from the model";
        EXPECT_TRUE(StoredImage(kServerId) == MergeModel::Serialize(expected)) << "the stored image differs";
    }
};

TEST_F(HLKWideScratchTest, FullAndIncrementalWithScratchOnBothSidesOfTheSwitchRestoreByteForByte)
{
    const std::vector<SimCluster> first = Plan(21, 300, 1);
    ExpectBothSides(first);
    ASSERT_NO_FATAL_FAILURE(PushOk(kHeader, true, first));
    EXPECT_TRUE(window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && n.success; }));
    const SimImage full = MergeModel::Full(kHeader, first);
    ExpectRestored(full);

    // The incremental rewrites blocks of the stored image and adds new ones beyond it.
    AllowIncrementals(kServerId);
    const std::vector<SimCluster> second = Plan(22, 250, 150);
    ExpectBothSides(second);
    ASSERT_NO_FATAL_FAILURE(PushOk(kHeader, false, second));
    EXPECT_TRUE(window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && n.success; }));
    ExpectRestored(MergeModel::Incremental(full, kHeader, second));
}

TEST_F(HLKWideScratchTest, AcknowledgedTransfersAcrossTheSwitchAreFinishedAtStartUp)
{
    const std::vector<SimCluster> first = Plan(31, 300, 1);
    ExpectBothSides(first);
    HLKBackup::Cleanup();
    ASSERT_NO_FATAL_FAILURE(LeaveAcknowledgedTransfer(true, first));
    ASSERT_NO_FATAL_FAILURE(Restart());
    // Finished before the listener took its first connection.
    EXPECT_TRUE(window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && n.success; }));
    const SimImage full = MergeModel::Full(kHeader, first);
    ExpectRestored(full);

    AllowIncrementals(kServerId);
    const std::vector<SimCluster> second = Plan(32, 250, 150);
    ExpectBothSides(second);
    HLKBackup::Cleanup();
    window.Clear();
    ASSERT_NO_FATAL_FAILURE(LeaveAcknowledgedTransfer(false, second));
    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_TRUE(window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && n.success; }));
    ExpectRestored(MergeModel::Incremental(full, kHeader, second));
}

// A transfer of more than 4 GiB and 2^31 clusters must still be finishable after a restart:
// its record keeps every count and size whole.
class TransferRecordTest : public SandboxTest {};

TEST_F(TransferRecordTest, CountsAndSizesPast32BitsReadBackWhole)
{
    const std::string dir = SandboxPath("00C0FFEE/4711");
    ASSERT_TRUE(hl::Os().CreateDirectory(SandboxPath("00C0FFEE")) && hl::Os().CreateDirectory(dir));
    CBFMBackup backup(dir, "4711");
    CBFMBackup::TransferRecord written;
    written.serialNumber = kHeader.serialNumber;
    written.clusterSize = 512;
    written.full = true;
    written.estimate = 0xFFFFFFF0ll;
    written.mainCount = 0x90000001ll;
    written.scratchCount = 0x80000003ll;
    written.mainBytes = 0x90000001ull * 524;
    written.scratchBytes = (std::uint64_t(9) << 32) + 4242; // 36 GiB and a bit
    ASSERT_TRUE(backup.SaveTransferRecord(written));

    CBFMBackup::TransferRecord read;
    bool exists = false;
    ASSERT_TRUE(CBFMBackup(dir).LoadTransferRecord(read, exists));
    EXPECT_EQ(read.estimate, written.estimate);
    EXPECT_EQ(read.mainCount, written.mainCount);
    EXPECT_EQ(read.scratchCount, written.scratchCount);
    EXPECT_EQ(read.mainBytes, written.mainBytes);
    EXPECT_EQ(read.scratchBytes, written.scratchBytes);
}

} // namespace
