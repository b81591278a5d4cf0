// A disk that fills up during a backup: every write of the backup, in turn, fails with
// "disk full" and keeps failing (through the platform layer's fault wrapper). Whatever the
// point, the window hears of the failure, nothing half-made stays behind, and the service goes
// on. A failure before DONE leaves the old backup current; one after DONE was answered leaves
// no current backup at all, so that the Quarnex server's next backup is a full one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <utility>

#include "FaultPlatform.h"
#include "HLKTestHarness.h"
#include "QuarnexView.h"

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
                             const std::vector<std::uint8_t>& after,
                             const std::set<std::string>& layoutBefore)
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
            // The Quarnex server was told the backup is stored: nothing may be current now, so
            // its next incremental is refused and a full one follows.
            EXPECT_TRUE(stored.empty()) << "an acknowledged backup that was not saved left a current backup";
            EXPECT_TRUE(window.WaitFor([&](const Note& note) {
                return note.message == CM_HLKBackupNotSaved && note.text == serverId;
            })) << "the window was not told that the next backup will be a full one";
        } else {
            EXPECT_TRUE(errors.empty());
            EXPECT_EQ(stored, after);
        }
        return o;
    }

    std::string serverId = "0001A2B3";
};

// Declared after a fault platform, it stops the service when the scope ends, so the service's
// threads end before the platform they used goes.
struct ServiceStopper {
    ~ServiceStopper() { HLKBackup::Cleanup(); }
};

TEST_F(HLKFaultTest, AFullDiskAtAnyWriteOfFullAndIncrementalBackups)
{
    hl::FaultPlatform fault(hl::PosixPlatform());
    hl::ScopedPlatform use(fault);
    const ServiceStopper stopFirst;

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
    // The backups the stored image comes from: a full one and the incrementals into it.
    std::vector<std::pair<bool, std::vector<SimCluster>>> history{{true, first}};
    ASSERT_EQ(StoredImage(serverId), MergeModel::Serialize(current));

    // The last full backup has no scratch clusters: it is stored without a merge.
    for (const auto& [full, scratchPercent] :
         {std::pair{true, 30}, std::pair{false, 30}, std::pair{true, 0}}) {
        SCOPED_TRACE(full ? "full backup with " + std::to_string(scratchPercent) + " % scratch"
                          : "incremental backup");
        plan.seed += 1;
        plan.firstBlock = full ? 1 : 50;
        plan.scratchPercent = scratchPercent;
        const std::vector<SimCluster> clusters = ClusterPlan::Generate(plan);
        const SimImage next =
            full ? MergeModel::Full(h, clusters) : MergeModel::Incremental(current, h, clusters);
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
                for (const auto& [wasFull, pushed] : history)
                    ASSERT_NO_FATAL_FAILURE(PushOk(h, wasFull, pushed));
                ASSERT_EQ(StoredImage(serverId), before);
            }
        }
        EXPECT_TRUE(savedWithoutFault);
        EXPECT_GT(inTransfer, 0);    // the disk filled while clusters arrived
        EXPECT_GT(afterTransfer, 0); // and while merging or committing
        current = next;
        if (full)
            history.clear();
        history.emplace_back(full, clusters);
        ASSERT_EQ(StoredImage(serverId), after);
    }
}

// The clusters must be on the disk before the Quarnex server is told they are stored: a disk
// that fails the flush at DONE makes DONE answer an error, the backup ends as a failed one,
// and the server's current backup stays as it was.
TEST_F(HLKFaultTest, AFailedFlushAtDoneIsAnsweredWithAnErrorAndKeepsTheCurrentBackup)
{
    hl::FaultPlatform fault(hl::PosixPlatform());
    hl::ScopedPlatform use(fault);
    const ServiceStopper stopFirst;
    const SimHeader h{0x0001A2B3, 2048, 1, 2, 3};
    PlanOptions plan;
    plan.count = 200;
    plan.clusterSize = 2048;
    plan.scratchPercent = 30;
    plan.seed = 9;
    const std::vector<SimCluster> first = ClusterPlan::Generate(plan);
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, first));
    AllowIncrementals(serverId);
    const std::vector<std::uint8_t> before = MergeModel::Serialize(MergeModel::Full(h, first));
    plan.seed = 10;
    plan.firstBlock = 40;
    plan.count = 60; // about 120 KiB: no write reaches the disk before DONE
    const std::vector<SimCluster> second = ClusterPlan::Generate(plan);

    for (const std::uint32_t op : {std::uint32_t(hl::kOpSync), std::uint32_t(hl::kOpWrite)}) {
        SCOPED_TRACE(op == hl::kOpSync ? "the sync fails" : "the last buffered write fails");
        window.Clear();
        // An incremental syncs nothing before DONE, and its clusters (under 256 KiB a file)
        // stay in the write buffers until then; the only writes before are the control files
        // of TmpMain and TmpScratch at SIZE. So the failing call is DONE's.
        fault.FailNth(op == hl::kOpSync ? 1 : 3, hl::kErrDiskFull, op, true);
        const PushResult r = Sim().Push(h, false, second);
        EXPECT_TRUE(window.WaitForError(4)) << "ends as the designed backup failure";
        fault.Disarm();
        EXPECT_TRUE(Idle());
        EXPECT_TRUE(r.doneAnswered);
        EXPECT_EQ(r.doneResponse, 0xFFFFFFFFu);
        EXPECT_FALSE(r.completed);
        const std::vector<unsigned> seq = window.Sequence();
        EXPECT_EQ(std::count(seq.begin(), seq.end(), unsigned(CM_HLKSaveBackupStarted)), 0);
        EXPECT_EQ(std::count(seq.begin(), seq.end(), unsigned(CM_HLKBackupNotSaved)), 0);
        EXPECT_EQ(StoredImage(serverId), before) << "the current backup is the one the server knows";
    }
    // The next incremental is taken and merged into it.
    ASSERT_NO_FATAL_FAILURE(PushOk(h, false, second));
    EXPECT_EQ(StoredImage(serverId),
              MergeModel::Serialize(MergeModel::Incremental(MergeModel::Full(h, first), h, second)));
}

// What the window is told about a backup is what a restart finds: every file-system call of
// an incremental backup from its DONE on (the merge, the commit and its aftermath) fails in
// turn, once, as a flaky disk would; the service is then
// restarted over the same folder, and the image that restores is the new one exactly when the
// window heard "saved" (at once, or from the restart that finished the merge). The next
// incremental is merged into the image that restores, or refused.
TEST_F(HLKFaultTest, WhatTheWindowIsToldIsWhatARestartRestores)
{
    const SimHeader h{0x0001A2B3, 1024, 1, 2, 3};
    PlanOptions plan;
    plan.count = 120;
    plan.clusterSize = 1024;
    plan.scratchPercent = 30;
    plan.seed = 21;
    const std::vector<SimCluster> first = ClusterPlan::Generate(plan);
    plan.seed = 22;
    plan.firstBlock = 30;
    plan.count = 50;
    const std::vector<SimCluster> second = ClusterPlan::Generate(plan);
    plan.seed = 23;
    plan.count = 10;
    const std::vector<SimCluster> third = ClusterPlan::Generate(plan);
    const SimImage a = MergeModel::Full(h, first);
    const SimImage b = MergeModel::Incremental(a, h, second);
    auto savedNote = [](const std::vector<Note>& notes) {
        bool saved = false;
        for (const Note& n : notes)
            if (n.message == CM_HLKSaveBackupDone)
                saved = n.success;
        return saved;
    };
    auto restart = [&] {
        HLKBackup::Cleanup();
        CBFMRepository::Release();
        ASSERT_NE(CBFMRepository::GetInstance(m_root.c_str()), nullptr);
        ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
        port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
    };

    // A fresh folder holding the full backup a.
    auto freshFolder = [&](const std::string& name) {
        HLKBackup::Cleanup();
        CBFMRepository::Release();
        m_root = SandboxPath(name);
        restart();
        ASSERT_NO_FATAL_FAILURE(PushOk(h, true, first));
        AllowIncrementals(serverId);
    };
    // How many file-system changes the incremental makes, to go through them from the last.
    std::uint64_t total = 0;
    {
        ASSERT_NO_FATAL_FAILURE(freshFolder("count"));
        hl::FaultPlatform counter(hl::PosixPlatform());
        counter.FailNth(1000000, hl::kErrAccessDenied, hl::kOpFileMutations, false);
        hl::ScopedPlatform use(counter);
        const ServiceStopper stopFirst;
        ASSERT_NO_FATAL_FAILURE(PushOk(h, false, second));
        total = counter.Calls();
    }
    ASSERT_GT(total, 0u);

    int savedCount = 0;
    int lostCount = 0;
    int cut = 0;
    for (std::uint64_t n = total; n >= 1; --n) {
        SCOPED_TRACE("file-system call " + std::to_string(n) + " of " + std::to_string(total) + " fails");
        ASSERT_NO_FATAL_FAILURE(freshFolder("w" + std::to_string(n)));
        window.Clear();
        hl::FaultPlatform fault(hl::PosixPlatform());
        fault.FailNth(n, hl::kErrAccessDenied, hl::kOpFileMutations, false);
        PushResult r;
        {
            hl::ScopedPlatform use(fault);
            const ServiceStopper stopFirst;
            r = Sim().Push(h, false, second);
            EXPECT_TRUE(Idle());
        }
        bool toldSaved = savedNote(window.Notes());
        window.Clear();
        restart();
        toldSaved = toldSaved || savedNote(window.Notes()); // a merge the restart finished
        const SimImage restored = RestoreOk(h.serialNumber);
        if (toldSaved) {
            ++savedCount;
            EXPECT_EQ(MergeModel::Serialize(restored), MergeModel::Serialize(b))
                << "told saved, yet b does not restore";
        } else {
            ++lostCount;
            EXPECT_EQ(MergeModel::Serialize(restored), MergeModel::Serialize(a))
                << "told failed, yet a does not restore";
        }
        QuarnexView view;
        PushResult acknowledged;
        acknowledged.completed = true;
        view.Pushed(h, true, first, acknowledged);
        view.Pushed(h, false, second, r);
        quarnexsim::PushOptions fallback;
        fallback.fallbackToFull = true;
        window.Clear();
        const PushResult next = Sim().Push(h, false, third, fallback);
        ASSERT_TRUE(next.completed) << next.failure;
        ASSERT_TRUE(window.WaitForMessage(CM_HLKSaveBackupDone));
        ASSERT_TRUE(Idle());
        std::string why;
        EXPECT_TRUE(view.Holds(h.serialNumber, restored, next.fellBackToFull, why)) << why;
        const SimImage expected =
            next.fellBackToFull ? MergeModel::Full(h, third) : MergeModel::Incremental(restored, h, third);
        EXPECT_EQ(MergeModel::Serialize(RestoreOk(h.serialNumber)), MergeModel::Serialize(expected));
        ++cut;
        // Done once DONE itself was refused: every call after it has had its turn.
        if (HasFailure() || !r.completed)
            break;
    }
    EXPECT_GT(savedCount, 1);
    EXPECT_GT(lostCount, 1);
    std::printf(
        "[ fault ] the last %d of %llu calls failed in turn: %d told saved (b restores), %d told failed "
        "(a restores)\n",
        cut, static_cast<unsigned long long>(total), savedCount, lostCount);
}

} // namespace
