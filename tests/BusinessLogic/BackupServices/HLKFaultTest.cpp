// A disk that fills up during a backup: every write of the backup, in turn, fails with
// "disk full" and keeps failing (through the platform layer's fault wrapper). Whatever the
// point, the window hears of the failure, the stored backup is the old one (or, when only the
// final bookkeeping failed, the complete new one), nothing half-made stays behind, and the
// service goes on.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "FaultPlatform.h"
#include "HLKTestHarness.h"

using namespace quarnexsim;

namespace {

class HLKFaultTest : public ServiceTest {
protected:
    std::set<std::string> Layout()
    {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(m_root))
            out.insert(std::filesystem::relative(e.path(), m_root).string());
        return out;
    }

    struct Outcome {
        bool transferCompleted = false;
        bool saved = false;
        bool failedInTransfer = false;
        bool failedAfterTransfer = false;
    };

    // One backup with the nth write failing (and all after it); returns what happened.
    Outcome PushWithFullDisk(hl::FaultPlatform& fault, std::uint64_t n, const SimHeader& h, bool full,
                             const std::vector<SimCluster>& clusters, const std::vector<std::uint8_t>& before,
                             const std::vector<std::uint8_t>& after, const std::set<std::string>& layoutBefore)
    {
        Outcome o;
        window.Clear();
        fault.FailNth(n, hl::kErrDiskFull, hl::kOpWrite, true);
        const PushResult r = Sim().Push(h, full, clusters);
        o.transferCompleted = r.completed;
        if (r.completed) {
            EXPECT_TRUE(window.WaitForMessage(CM_HLKSaveBackupDone));
        } else {
            EXPECT_TRUE(window.WaitForError(4));
        }
        fault.Disarm();
        EXPECT_TRUE(Idle());

        const std::vector<Note> notes = window.Notes();
        for (const Note& note : notes)
            if (note.message == CM_HLKSaveBackupDone)
                o.saved = note.success;
        const std::vector<int> errors = window.Errors();
        const std::vector<std::uint8_t> stored = StoredImage(serverId);

        if (!r.completed) {
            o.failedInTransfer = true;
            EXPECT_FALSE(errors.empty());
            if (!errors.empty()) {
                EXPECT_EQ(errors.back(), 4);
            }
            EXPECT_EQ(stored, before);
            EXPECT_EQ(Layout(), layoutBefore);
        } else if (!o.saved) {
            o.failedAfterTransfer = true;
            EXPECT_FALSE(errors.empty());
            if (!errors.empty()) {
                EXPECT_TRUE(errors.front() == 13 || errors.front() == 14) << errors.front();
            }
            EXPECT_TRUE(stored == before || stored == after);
        } else {
            EXPECT_TRUE(errors.empty());
            EXPECT_EQ(stored, after);
        }
        return o;
    }

    std::string serverId = "0001A2B3";
};

TEST_F(HLKFaultTest, AFullDiskAtAnyWriteOfFullAndIncrementalBackups)
{
    hl::FaultPlatform fault(hl::PosixPlatform());
    hl::ScopedPlatform use(fault);

    const SimHeader h{0x0001A2B3, 2048, 1, 2, 3};
    PlanOptions plan;
    plan.count = 300;
    plan.clusterSize = 2048;
    plan.scratchPercent = 30;
    plan.seed = 5;
    const std::vector<SimCluster> first = ClusterPlan::Generate(plan);
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, first));
    AllowIncrementals(serverId);
    SimImage current = MergeModel::Full(h, first);
    std::vector<SimCluster> base = first; // the full backup the stored image comes from
    ASSERT_EQ(StoredImage(serverId), MergeModel::Serialize(current));

    for (bool full : {true, false}) {
        SCOPED_TRACE(full ? "full backup" : "incremental backup");
        plan.seed += 1;
        plan.firstBlock = full ? 1 : 50;
        const std::vector<SimCluster> clusters = ClusterPlan::Generate(plan);
        const SimImage next = full ? MergeModel::Full(h, clusters) : MergeModel::Incremental(current, h, clusters);
        const std::vector<std::uint8_t> before = MergeModel::Serialize(current);
        const std::vector<std::uint8_t> after = MergeModel::Serialize(next);

        int inTransfer = 0, afterTransfer = 0;
        bool savedWithoutFault = false;
        for (std::uint64_t n = 1; n < 500; ++n) {
            SCOPED_TRACE("write " + std::to_string(n) + " fails");
            const std::set<std::string> layoutBefore = Layout();
            const Outcome o = PushWithFullDisk(fault, n, h, full, clusters, before, after, layoutBefore);
            if (HasFatalFailure())
                return;
            inTransfer += o.failedInTransfer;
            afterTransfer += o.failedAfterTransfer;
            if (!fault.Hit()) {
                // The backup needs fewer writes than n: it went through untouched.
                savedWithoutFault = o.saved;
                break;
            }
            // Put the old image back for the next round if this one replaced it.
            if (StoredImage(serverId) != before) {
                ASSERT_NO_FATAL_FAILURE(PushOk(h, true, base));
                ASSERT_EQ(StoredImage(serverId), before);
            }
        }
        EXPECT_TRUE(savedWithoutFault);
        EXPECT_GT(inTransfer, 0);    // the disk filled while clusters arrived
        EXPECT_GT(afterTransfer, 0); // and while merging or committing
        current = next;
        base = clusters;
        ASSERT_EQ(StoredImage(serverId), after);
    }
}

} // namespace
