// End-to-end conversations with the running service: a simulated Quarnex server on a
// loopback connection, the real listener and workers, a real repository in the sandbox.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "CBFMBackup.h"
#include "CBFMServer.h"
#include "HLKTestHarness.h"
#include "MergeModel.h"
#include "PlatformWrapper.h"

using namespace quarnexsim;

namespace {

using HLKServiceTest = ServiceTest;

TEST_F(HLKServiceTest, PingIsAnsweredAndClosedWithoutTellingTheWindow)
{
    std::uint32_t response = 1;
    ASSERT_TRUE(Sim().Ping(response));
    EXPECT_EQ(response, kOk);
    ASSERT_TRUE(Idle());
    EXPECT_TRUE(window.Notes().empty());
}

TEST_F(HLKServiceTest, FullBackupIsStoredAndRestoredByteForByte)
{
    PlanOptions plan;
    plan.count = 700;
    plan.clusterSize = 1024;
    plan.scratchPercent = 30;
    plan.varyLengths = true;
    plan.seed = 7;
    const std::vector<SimCluster> clusters = ClusterPlan::Generate(plan);
    const SimHeader h{0x0001A2B3, 1024, 11, 22, 33};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, clusters));

    // What the window saw, in order (progress reports aside).
    const std::vector<unsigned> expected = {CM_HLKBackupInitiated, CM_HLKBackupStarted,
                                            CM_HLKBackupTransferDone, CM_HLKSaveBackupStarted,
                                            CM_HLKSaveBackupDone};
    EXPECT_EQ(window.Sequence(), expected);
    const std::vector<Note> notes = window.Notes();
    EXPECT_EQ(notes[0].text, "0001A2B3");
    EXPECT_EQ(notes[1].text, "0001A2B3");
    EXPECT_EQ(notes[1].number, 0); // (1024 >> 10) * 700 >> 10
    int progress = 0;
    for (const Note& n : notes) {
        if (n.message == CM_HLKProgress) {
            ++progress;
            EXPECT_GE(n.value, 0);
            EXPECT_LE(n.value, 100);
        }
        if (n.message == CM_HLKBackupTransferDone || n.message == CM_HLKSaveBackupDone) {
            EXPECT_TRUE(n.success);
        }
    }
    // 700 clusters: two reports during the transfer (250, 500), two during the merge.
    EXPECT_EQ(progress, 4);

    const SimImage model = MergeModel::Full(h, clusters);
    EXPECT_EQ(StoredImage("0001A2B3"), MergeModel::Serialize(model));

    window.Clear();
    const SimImage restored = RestoreOk(0x0001A2B3);
    EXPECT_EQ(MergeModel::Serialize(restored), MergeModel::Serialize(model));
    ASSERT_TRUE(window.WaitForMessage(CM_HLKRestoreDone));
    const std::vector<unsigned> restoreSeq = {CM_HLKRestoreStarted, CM_HLKRestoreDone};
    EXPECT_EQ(window.Sequence(), restoreSeq);
    EXPECT_EQ(window.Notes().front().text, "0001A2B3");
    EXPECT_TRUE(window.Notes().back().success);
}

TEST_F(HLKServiceTest, FullMergeOrdersScratchAmongMainAndKeepsScratchBeyondTheLastMain)
{
    // Main 1, 2, 4; scratch 3, 2, and scratch 9 and 7 beyond the last main cluster.
    const std::vector<SimCluster> clusters = {Cluster(1, kModeMain, 100, 1),
                                              Cluster(9, kModeScratch, 50, 1),
                                              Cluster(3, kModeScratch, 30, 1),
                                              Cluster(2, kModeMain, 100, 1),
                                              Cluster(2, kModeScratch, 20, 2),
                                              Cluster(4, kModeMain, 0, 1),
                                              Cluster(7, 3 /* both bits: scratch */, 64, 1)};
    const SimHeader h{0x00C0FFEE, 128, 1, 2, 3};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, clusters));

    const SimImage restored = RestoreOk(0x00C0FFEE);
    const std::vector<std::uint32_t> ids = {1, 2, 2, 3, 4, 7, 9};
    EXPECT_EQ(IdsOf(restored), ids);
    ASSERT_EQ(restored.records.size(), 7u);
    EXPECT_EQ(restored.records[1].mode, kModeMain); // main first on a tie
    EXPECT_EQ(restored.records[2].mode, kModeScratch);
    EXPECT_EQ(restored.records[5].mode, 3u); // the mode is kept as received
    EXPECT_EQ(MergeModel::Serialize(restored), MergeModel::Serialize(MergeModel::Full(h, clusters)));
}

TEST_F(HLKServiceTest, IncrementalReplacesStoredBlocksInOneMergedImage)
{
    const SimHeader h{0x0001A2B3, 256, 5, 6, 7};
    const std::vector<SimCluster> full = {Cluster(1, kModeMain, 256, 1), Cluster(2, kModeMain, 256, 1),
                                          Cluster(3, kModeMain, 256, 1)};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, full));
    AllowIncrementals("0001A2B3");
    const SimImage stored = MergeModel::Full(h, full);

    // TmpMain 2; scratch 5 and 2: old 2 is dropped, scratch before main on the tie.
    const std::vector<SimCluster> incr = {Cluster(5, kModeScratch, 10, 2), Cluster(2, kModeMain, 200, 2),
                                          Cluster(2, kModeScratch, 100, 3)};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, false, incr));
    const std::vector<unsigned> seq = {CM_HLKBackupInitiated, CM_HLKBackupStarted, CM_HLKBackupTransferDone,
                                       CM_HLKSaveBackupStarted, CM_HLKSaveBackupDone};
    EXPECT_EQ(window.Sequence(), seq);
    EXPECT_TRUE(window.Notes().back().success);

    const SimImage restored = RestoreOk(0x0001A2B3);
    const std::vector<std::uint32_t> ids = {1, 2, 2, 3, 5};
    EXPECT_EQ(IdsOf(restored), ids);
    EXPECT_EQ(restored.records[1].mode, kModeScratch);
    EXPECT_EQ(restored.records[2].mode, kModeMain);
    const SimImage model = MergeModel::Incremental(stored, h, incr);
    EXPECT_EQ(MergeModel::Serialize(restored), MergeModel::Serialize(model));
    EXPECT_EQ(StoredImage("0001A2B3"), MergeModel::Serialize(model));
}

// Block IDs 0 and 0xFFFFFFFF are ordinary blocks: they used to collide with the incremental
// merge's "nothing loaded" and "exhausted" markers.
TEST_F(HLKServiceTest, BlockIdsZeroAndAllOnesMergeLikeAnyOther)
{
    const SimHeader h{0x12345678, 64, 0, 0, 0};
    const std::vector<SimCluster> full = {Cluster(0, kModeMain, 64, 1), Cluster(5, kModeMain, 64, 1),
                                          Cluster(0xFFFFFFFF, kModeMain, 64, 1),
                                          Cluster(0, kModeScratch, 8, 1)};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, full));
    AllowIncrementals("12345678");
    SimImage model = MergeModel::Full(h, full);
    EXPECT_EQ(MergeModel::Serialize(RestoreOk(0x12345678)), MergeModel::Serialize(model));

    // New main 0, 3 and 0xFFFFFFFF; scratch 0xFFFFFFFF: every stored 0 and 0xFFFFFFFF is replaced.
    const std::vector<SimCluster> incr = {Cluster(0, kModeMain, 10, 2), Cluster(3, kModeMain, 11, 2),
                                          Cluster(0xFFFFFFFF, kModeMain, 12, 2),
                                          Cluster(0xFFFFFFFF, kModeScratch, 13, 2)};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, false, incr));
    model = MergeModel::Incremental(model, h, incr);
    const SimImage restored = RestoreOk(0x12345678);
    const std::vector<std::uint32_t> ids = {0, 3, 5, 0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_EQ(IdsOf(restored), ids);
    EXPECT_EQ(MergeModel::Serialize(restored), MergeModel::Serialize(model));

    // Nothing new: the stored records are rewritten unchanged.
    ASSERT_NO_FATAL_FAILURE(PushOk(h, false, {}));
    EXPECT_EQ(MergeModel::Serialize(RestoreOk(0x12345678)), MergeModel::Serialize(model));
}

TEST_F(HLKServiceTest, GeneratedFullAndIncrementalsMatchTheModel)
{
    const SimHeader h{0x0BADCAFE, 2048, 9, 9, 9};
    PlanOptions plan;
    plan.count = 400;
    plan.clusterSize = 2048;
    plan.scratchPercent = 20;
    plan.varyLengths = true;
    plan.seed = 3;
    std::vector<SimCluster> clusters = ClusterPlan::Generate(plan);
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, clusters));
    AllowIncrementals("0BADCAFE");
    SimImage model = MergeModel::Full(h, clusters);

    for (std::uint32_t round = 0; round < 3; ++round) {
        PlanOptions incr;
        incr.count = 120;
        incr.clusterSize = 2048;
        incr.firstBlock = 1 + round * 37;
        incr.blockStep = 3 + round;
        incr.scratchPercent = 40;
        incr.varyLengths = true;
        incr.seed = 100 + round;
        clusters = ClusterPlan::Generate(incr);
        ASSERT_NO_FATAL_FAILURE(PushOk(h, false, clusters));
        model = MergeModel::Incremental(model, h, clusters);
        ASSERT_EQ(MergeModel::Serialize(RestoreOk(0x0BADCAFE)), MergeModel::Serialize(model))
            << "round " << round;
    }
}

TEST_F(HLKServiceTest, RefusedIncrementalThenFullHelloOnTheSameConnection)
{
    const SimHeader h{0x00000042, 512, 1, 1, 1};
    const std::vector<SimCluster> clusters = {Cluster(1, kModeMain, 512, 1), Cluster(2, kModeScratch, 1, 1)};
    PushOptions options;
    options.fallbackToFull = true;
    const PushResult r = Sim().Push(h, false, clusters, options);
    ASSERT_TRUE(r.completed) << r.failure;
    EXPECT_TRUE(r.fellBackToFull);
    ASSERT_TRUE(window.WaitForMessage(CM_HLKSaveBackupDone));
    ASSERT_TRUE(Idle());
    // The refusal itself tells the window nothing beyond the announcement of each HELLO.
    const std::vector<unsigned> seq = {CM_HLKBackupInitiated,   CM_HLKBackupInitiated,
                                       CM_HLKBackupStarted,     CM_HLKBackupTransferDone,
                                       CM_HLKSaveBackupStarted, CM_HLKSaveBackupDone};
    EXPECT_EQ(window.Sequence(), seq);
    EXPECT_EQ(MergeModel::Serialize(RestoreOk(0x42)), MergeModel::Serialize(MergeModel::Full(h, clusters)));
}

TEST_F(HLKServiceTest, IncrementalWithAnotherHeaderIsRefusedAndLeavesTheBackupAlone)
{
    const SimHeader h{0x0001A2B3, 256, 5, 6, 7};
    const std::vector<SimCluster> full = {Cluster(1, kModeMain, 256, 1), Cluster(2, kModeMain, 256, 1)};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, full));
    AllowIncrementals("0001A2B3");
    const std::vector<std::uint8_t> before = StoredImage("0001A2B3");

    SimHeader other = h;
    other.headerParam3 = 8;
    window.Clear();
    const PushResult r = Sim().Push(other, false, {Cluster(1, kModeMain, 5, 9)});
    ASSERT_TRUE(r.completed); // the Quarnex server is not told: DONE is answered before the merge
    ASSERT_TRUE(window.WaitForMessage(CM_HLKSaveBackupDone));
    ASSERT_TRUE(Idle());
    EXPECT_EQ(window.Errors(), std::vector<int>{14});
    const std::vector<Note> notes = window.Notes();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes[notes.size() - 2].message, unsigned(CM_HLKSaveBackupDone));
    EXPECT_FALSE(notes[notes.size() - 2].success);
    // The Quarnex server believes that backup is stored: none is current any more, so its
    // next backup is a full one, and the window says so.
    EXPECT_EQ(notes.back().message, unsigned(CM_HLKBackupNotSaved));
    EXPECT_EQ(notes.back().text, "0001A2B3");
    EXPECT_TRUE(StoredImage("0001A2B3").empty());
    // The stored image itself is untouched and still restores.
    EXPECT_EQ(MergeModel::Serialize(RestoreOk(0x0001A2B3)), before);
    EXPECT_EQ(MergeModel::Serialize(RestoreOk(0x0001A2B3)), MergeModel::Serialize(MergeModel::Full(h, full)));
}

TEST_F(HLKServiceTest, HeaderOnlyBackupRestoresAsHeaderAndDone)
{
    const SimHeader h{0x0001A2B3, 65536, 1, 2, 3};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, {}));
    EXPECT_EQ(StoredImage("0001A2B3").size(), 20u);
    window.Clear();
    SimImage image;
    const RestoreResult r = Sim().Restore(0x0001A2B3, image);
    EXPECT_EQ(r.response, kOk);
    EXPECT_TRUE(r.gotDone);
    EXPECT_EQ(r.records, 0u);
    EXPECT_EQ(r.header, h);
    ASSERT_TRUE(window.WaitForMessage(CM_HLKRestoreDone));
    EXPECT_TRUE(window.Notes().back().success);
}

TEST_F(HLKServiceTest, InquiryAcceptedSendsTheHeaderBigEndian)
{
    const SimHeader h{0x0001A2B3, 4096, 0x01020304, 5, 6};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, {Cluster(1, kModeMain, 10, 1)}));
    window.Clear();

    auto inquiry = std::async(std::launch::async, [this] {
        QuarnexConnection c;
        std::vector<std::uint8_t> bytes;
        if (!Connect(c) || !c.SendWord(0x55AA0007) || !c.SendWord(0x0001A2B3))
            return bytes;
        bytes.resize(28);
        if (!c.ReadExact(bytes.data(), 28, 20000))
            bytes.clear();
        if (c.WaitClosed(20000) != QuarnexConnection::CloseState::Closed)
            bytes.push_back(0xEE);
        return bytes;
    });
    ASSERT_TRUE(window.WaitForMessage(CM_HLKPromptForRestore));
    const Note prompt = window.Notes().back();
    EXPECT_EQ(prompt.words[0], 0x0001A2B3u);
    EXPECT_EQ(prompt.words[1], 0x0001A2B3u);
    EXPECT_NE(prompt.words[2], 0u); // LastBackupDate of the backup
    ASSERT_TRUE(GUIComm::Instance()->RespondToRestorePrompt(true));
    const std::vector<std::uint8_t> wire = inquiry.get();
    const std::vector<std::uint8_t> expected = {0,    0,    0,    0,    // SFS_RSP_OK
                                                0x00, 0x01, 0xA2, 0xB3, // serialNumber
                                                0,    0,    0x10, 0,    // clusterSize 4096
                                                1,    2,    3,    4,    0,    0,    0, 5,
                                                0,    0,    0,    6,    0x55, 0xAA, 0, 4}; // SFS_CMD_DONE
    EXPECT_EQ(wire, expected);
    ASSERT_TRUE(Idle());
    EXPECT_TRUE(window.Errors().empty());
}

TEST_F(HLKServiceTest, InquiryRejectedByTheUserIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(
        PushOk(SimHeader{0x0001A2B3, 4096, 0, 0, 0}, true, {Cluster(1, kModeMain, 10, 1)}));
    window.Clear();
    auto inquiry = std::async(std::launch::async, [this] { return Sim().Inquire(0x0001A2B3); });
    ASSERT_TRUE(window.WaitForMessage(CM_HLKPromptForRestore));
    ASSERT_TRUE(GUIComm::Instance()->RespondToRestorePrompt(false));
    const InquiryResult r = inquiry.get();
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.response, kError);
    EXPECT_FALSE(r.gotHeader);
    EXPECT_TRUE(r.closedByService);
    ASSERT_TRUE(window.WaitForError(5));
    EXPECT_EQ(window.Errors(), std::vector<int>{5});
}

TEST_F(HLKServiceTest, RestoreOfAnotherServersBackupCarriesThatServersHeader)
{
    const SimHeader other{0x00C0FFEE, 512, 1, 2, 3};
    const std::vector<SimCluster> clusters = {Cluster(4, kModeMain, 500, 4)};
    ASSERT_NO_FATAL_FAILURE(PushOk(other, true, clusters));
    std::string backupId;
    ASSERT_TRUE(Repo()->GetServer("00C0FFEE")->GetCurrentBackup(backupId));
    Repo()->SetRestoreBackup("00C0FFEE", backupId);

    window.Clear();
    const SimImage restored = RestoreOk(0x0001A2B3);
    EXPECT_EQ(restored.header.serialNumber, 0x00C0FFEEu);
    EXPECT_EQ(MergeModel::Serialize(restored), MergeModel::Serialize(MergeModel::Full(other, clusters)));
    ASSERT_TRUE(window.WaitForMessage(CM_HLKRestoreDone));
    EXPECT_EQ(window.Notes().front().message, static_cast<unsigned>(CM_HLKRestoreStarted));
    EXPECT_EQ(window.Notes().front().text, "0001A2B3"); // named after the requester
}

TEST_F(HLKServiceTest, RestoreWithoutAnyBackupIsRefused)
{
    SimImage image;
    const RestoreResult r = Sim().Restore(0x0001A2B3, image);
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.response, kError);
    EXPECT_TRUE(r.closedByService);
    ASSERT_TRUE(Idle());
    const std::vector<int> errors = {13, 5};
    EXPECT_EQ(window.Errors(), errors);
}

TEST_F(HLKServiceTest, InsufficientDiskSpaceRefusesSize)
{
    // 0x7FFFFFFF clusters of 65536 bytes: about 128 TiB announced.
    QuarnexConnection c;
    ASSERT_TRUE(Connect(c));
    const std::vector<std::uint8_t> hello =
        QuarnexSim::HelloPayload(SimHeader{0x0001A2B3, 65536, 0, 0, 0}, true);
    ASSERT_TRUE(c.SendWord(0x55AA0001) && c.SendBytes(hello.data(), hello.size()));
    std::uint32_t word = 1;
    ASSERT_TRUE(c.ReadWord(word, 20000));
    EXPECT_EQ(word, kOk);
    ASSERT_TRUE(c.SendWord(0x55AA0002) && c.SendWord(0x7FFFFFFF));
    ASSERT_TRUE(c.ReadWord(word, 20000));
    EXPECT_EQ(word, kError);
    EXPECT_EQ(c.WaitClosed(20000), QuarnexConnection::CloseState::Closed);
    ASSERT_TRUE(Idle());
    bool seen = false;
    for (const Note& n : window.Notes()) {
        if (n.message == CM_HLKInsufficientDiskSpace) {
            seen = true;
            EXPECT_EQ(n.text, "0001A2B3");
            // 128 TiB announced, counted in 64 bits: it does not wrap to something that fits.
            EXPECT_EQ(n.number, static_cast<std::int64_t>(double((65536ull * 0x7FFFFFFFull) >> 20) * 2.2));
            EXPECT_LT(n.number2, n.number);
        }
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(window.Errors(), std::vector<int>{4});
    // No backup was left behind.
    std::vector<std::string> backups;
    Repo()->GetServer("0001A2B3")->GetAllBackups(backups);
    EXPECT_TRUE(backups.empty());
}

// A backup folder whose volume reports a chosen amount of free space.
class FreeSpacePlatform : public hl::PlatformWrapper {
public:
    FreeSpacePlatform() : hl::PlatformWrapper(hl::PosixPlatform()) {}
    bool FreeSpace(const std::string&, std::uint64_t& bytes) override
    {
        bytes = m_bytes;
        return true;
    }
    std::atomic<std::uint64_t> m_bytes{0};
};

class HLKDiskSpaceTest : public ServiceTest {
protected:
    struct SizeOutcome {
        std::uint32_t answer = 1;
        bool noticed = false;
        std::int64_t needed = 0;
        std::int64_t available = 0;
    };

    // HELLO and SIZE of a full backup with the given free space; an accepted SIZE is followed
    // by DONE, so that the conversation ends as a stored (empty) backup.
    SizeOutcome Size(std::uint64_t freeBytes, std::uint32_t clusterSize, std::uint32_t estimate)
    {
        // Installed until the fixture is gone, after the service has stopped: the listener
        // still closes the records of finished workers through it.
        if (!m_use)
            m_use = std::make_unique<hl::ScopedPlatform>(m_platform);
        m_platform.m_bytes = freeBytes;
        window.Clear();
        SizeOutcome out;
        QuarnexConnection c;
        EXPECT_TRUE(Connect(c));
        const std::vector<std::uint8_t> hello =
            QuarnexSim::HelloPayload(SimHeader{0x0001A2B3, clusterSize, 0, 0, 0}, true);
        std::uint32_t word = 1;
        EXPECT_TRUE(c.SendWord(0x55AA0001) && c.SendBytes(hello.data(), hello.size()) &&
                    c.ReadWord(word, 20000));
        EXPECT_EQ(word, kOk);
        EXPECT_TRUE(c.SendWord(0x55AA0002) && c.SendWord(estimate) && c.ReadWord(out.answer, 20000));
        if (out.answer == kOk) {
            EXPECT_TRUE(c.SendWord(0x55AA0004) && c.ReadWord(word, 20000));
            EXPECT_EQ(word, kOk);
        }
        EXPECT_EQ(c.WaitClosed(20000), QuarnexConnection::CloseState::Closed);
        EXPECT_TRUE(Idle());
        for (const Note& n : window.Notes()) {
            if (n.message == CM_HLKInsufficientDiskSpace) {
                out.noticed = true;
                out.needed = n.number;
                out.available = n.number2;
                EXPECT_EQ(n.text, "0001A2B3");
            }
        }
        return out;
    }

    FreeSpacePlatform m_platform;
    std::unique_ptr<hl::ScopedPlatform> m_use; // destroyed first
};

// 1,000,000 clusters of 512 bytes are 488 MiB: on a 32 MiB folder that needs 1073 MB and is
// refused (clusters under 1 KiB used to count as nothing).
TEST_F(HLKDiskSpaceTest, ClustersUnderOneKiBCountForTheSpaceNeeded)
{
    const SizeOutcome r = Size(32ull << 20, 512, 1000000);
    EXPECT_EQ(r.answer, kError);
    EXPECT_TRUE(r.noticed);
    EXPECT_EQ(r.needed, 1073); // 488 * 2.2, truncated
    EXPECT_EQ(r.available, 32);
    EXPECT_EQ(window.Errors(), std::vector<int>{HLK_ERR_BACKUP_FAILED});
    std::vector<std::string> backups;
    Repo()->GetServer("0001A2B3")->GetAllBackups(backups);
    EXPECT_TRUE(backups.empty());

    // Exactly the needed space is enough; one MB less is not.
    EXPECT_EQ(Size(1073ull << 20, 512, 1000000).answer, kOk);
    const SizeOutcome tight = Size((1073ull << 20) - 1, 512, 1000000);
    EXPECT_EQ(tight.answer, kError);
    EXPECT_EQ(tight.needed, 1073);
    EXPECT_EQ(tight.available, 1072);
}

// 2^26 clusters of 64 KiB are 4 TiB, a product that wraps to 0 in 32 bits.
TEST_F(HLKDiskSpaceTest, AnEstimateThatWrapsIn32BitsIsStillCounted)
{
    const SizeOutcome r = Size(32ull << 20, 65536, 0x04000000);
    EXPECT_EQ(r.answer, kError);
    EXPECT_TRUE(r.noticed);
    EXPECT_EQ(r.needed, 9227468); // 4194304 MB * 2.2, truncated
    EXPECT_EQ(r.available, 32);
}

// More free space than a signed 32-bit MB count holds (8 PiB) saturates instead of wrapping
// (to 0, which refused every backup).
TEST_F(HLKDiskSpaceTest, HugeFreeSpaceSaturates)
{
    const SizeOutcome r = Size(1ull << 53, 65536, 100);
    EXPECT_EQ(r.answer, kOk);
    EXPECT_FALSE(r.noticed);
    EXPECT_TRUE(window.Errors().empty());
    // The largest announcement there is (2^32 - 1 clusters of 64 KiB, 590558001 MB needed)
    // fits in the largest figure the notice can carry.
    const SizeOutcome huge = Size(std::uint64_t(0x7FFFFFFF) << 20, 65536, 0xFFFFFFFF);
    EXPECT_EQ(huge.answer, kOk);
}

} // namespace
