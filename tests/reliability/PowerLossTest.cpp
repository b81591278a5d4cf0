// Power loss: the platform layer forgets every write not made durable when the power goes.
// First the wrapper itself, then a backup cut at each durability point of its transfer, merge
// and commit in turn (every one from the last cluster to the commit among them): after the
// restart the repository loads, every record holds a whole image (the old or the new one), a
// backup reported saved is never lost, and the Quarnex server's next incremental is either
// refused or merged into exactly the image it was told is stored.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "DataFileBytes.h"
#include "PowerLossPlatform.h"
#include "QuarnexView.h"
#include "ReliabilitySupport.h"
#include "ServiceFixture.h"

using namespace quarnexsim;

namespace {

class PowerLossPlatformTest : public SandboxTest {
protected:
    static bool Put(hl::Platform& os, const std::string& path, const std::string& text, bool sync)
    {
        const int fd = os.OpenFile(path, hl::OpenMode::Truncate);
        if (fd < 0)
            return false;
        bool ok = os.Write(fd, text.data(), text.size());
        if (sync)
            ok = ok && os.Sync(fd);
        return os.Close(fd) && ok;
    }
};

TEST_F(PowerLossPlatformTest, OnlySyncedDataAndNamesSurvive)
{
    const std::string root = SandboxPath("root");
    ASSERT_TRUE(hl::PosixPlatform().CreateDirectory(root));
    WriteFile(root + "/.keep", "");
    hl::PowerLossPlatform power(hl::PosixPlatform(), root);
    hl::Platform& os = power;
    WriteFile(root + "/old.txt", "old contents");
    // old.txt was written behind the wrapper's back after the snapshot: the snapshot had no
    // such file, so it is gone after the loss.
    ASSERT_TRUE(Put(os, root + "/a.txt", "first", true));     // point 1
    ASSERT_TRUE(Put(os, root + "/synced.txt", "kept", true)); // point 2
    ASSERT_TRUE(Put(os, root + "/unsynced-data.txt", "lost", false));
    ASSERT_TRUE(os.SyncDirectory(root));                             // point 3: names durable
    ASSERT_TRUE(Put(os, root + "/unsynced-name.txt", "data", true)); // point 4: data, not name
    ASSERT_TRUE(os.CreateDirectory(root + "/sub"));
    ASSERT_TRUE(Put(os, root + "/sub/deep.txt", "deep", true)); // point 5
    ASSERT_TRUE(os.SyncDirectory(root + "/sub"));               // point 6, but "sub" itself
                                                                // never reached its parent
    ASSERT_TRUE(Put(os, root + "/a.new", "second", true));      // point 7
    ASSERT_TRUE(os.MoveFile(root + "/a.new", root + "/a.txt")); // rename not made durable
    EXPECT_EQ(ReadFile(root + "/a.txt"), "second");
    EXPECT_EQ(power.Points(), 7u);

    ASSERT_TRUE(power.ApplyLoss());
    EXPECT_EQ(ReadFile(root + "/synced.txt"), "kept");
    EXPECT_TRUE(hl::PosixPlatform().FileExists(root + "/unsynced-data.txt"));
    EXPECT_EQ(ReadFile(root + "/unsynced-data.txt"), "");
    EXPECT_FALSE(hl::PosixPlatform().PathExists(root + "/unsynced-name.txt"));
    EXPECT_FALSE(hl::PosixPlatform().PathExists(root + "/sub"));
    EXPECT_FALSE(hl::PosixPlatform().PathExists(root + "/old.txt"));
    EXPECT_FALSE(hl::PosixPlatform().PathExists(root + "/a.new"));
    EXPECT_EQ(ReadFile(root + "/a.txt"), "first");
    EXPECT_TRUE(hl::PosixPlatform().FileExists(root + "/.keep"));
}

TEST_F(PowerLossPlatformTest, CutPointTakesNoEffectAndEverythingLaterFails)
{
    const std::string root = SandboxPath("root");
    ASSERT_TRUE(hl::PosixPlatform().CreateDirectory(root));
    hl::PowerLossPlatform power(hl::PosixPlatform(), root);
    hl::Platform& os = power;
    power.CutAt(2);
    ASSERT_TRUE(Put(os, root + "/one.txt", "1", true)); // point 1
    EXPECT_FALSE(os.SyncDirectory(root));               // point 2: the power goes
    EXPECT_TRUE(power.IsCut());
    EXPECT_EQ(hl::Platform::LastError(), hl::PowerLossPlatform::kErrPowerLost);
    EXPECT_EQ(os.OpenFile(root + "/two.txt", hl::OpenMode::Truncate), -1);
    EXPECT_FALSE(os.CreateDirectory(root + "/d"));
    ASSERT_TRUE(power.ApplyLoss());
    std::vector<std::string> names;
    ASSERT_TRUE(hl::PosixPlatform().ListDirectory(root, names));
    EXPECT_TRUE(names.empty()) << names.front();
}

// A backup cut at one durability point, and what the restart finds.
class PowerLossServiceTest : public InProcessServiceTest {
protected:
    struct Outcome {
        std::uint64_t points = 0; // durability points the backup reached
        bool cut = false;
        bool saved = false;        // the service reported the backup saved
        bool acknowledged = false; // DONE was answered OK
        bool refused = false;      // the next incremental was refused
        bool resumed = false;      // the restart merged and saved the acknowledged backup
        std::string result;        // "old", "new"
    };

    // One committed full backup, then the backup under test with the power cut at point k
    // (0: never during the backup; the power then goes right after it).
    // scratchPercent: share of scratch clusters in the backup under test (0: a full backup is
    // then stored without a merge).
    void Run(bool incremental, std::uint64_t k, Outcome& out, int scratchPercent = 20)
    {
        const std::string root = SandboxPath("cut" + std::to_string(k) + (incremental ? "i" : "f"));
        const SimHeader header{0x0001A2B3, 1024, 5, 6, 7};
        PlanOptions po;
        po.clusterSize = header.clusterSize;
        po.count = 300;
        po.scratchPercent = 20;
        po.varyLengths = true;
        po.seed = 11;
        const std::vector<SimCluster> first = ClusterPlan::Generate(po);
        po.count = incremental ? 80 : 260;
        po.firstBlock = 100;
        po.seed = 12;
        po.scratchPercent = scratchPercent;
        const std::vector<SimCluster> second = ClusterPlan::Generate(po);
        const SimImage oldImage = MergeModel::Full(header, first);
        const SimImage newImage = incremental ? MergeModel::Incremental(oldImage, header, second)
                                              : MergeModel::Full(header, second);

        QuarnexView view;
        {
            ASSERT_TRUE(OpenRepository(root, header.serialNumber, 0));
            const std::uint16_t port = StartService();
            ASSERT_NE(port, 0);
            const PushResult p = Push(port, header, true, first);
            ASSERT_TRUE(p.completed);
            view.Pushed(header, true, first, p);
            ASSERT_TRUE(testsupport::ServiceIdle(port));
            StopAll();
        }

        m_window.Clear();
        hl::PowerLossPlatform power(hl::PosixPlatform(), root);
        power.CutAt(k);
        {
            hl::ScopedPlatform use(power);
            ASSERT_NE(CBFMRepository::GetInstance(root.c_str()), nullptr);
            const std::uint16_t port = StartService();
            ASSERT_NE(port, 0);
            const PushResult p = Push(port, header, !incremental, second);
            view.Pushed(header, !incremental, second, p);
            out.acknowledged = p.completed;
            ASSERT_TRUE(testsupport::ServiceIdle(port));
            StopAll();
        }
        out.points = power.Points();
        out.cut = power.IsCut();
        out.saved = Saved();
        ASSERT_TRUE(power.ApplyLoss());

        // The restart: the repository loads, the service starts (finishing or removing what the
        // cut transfer left), and every record listed then holds a whole image.
        m_window.Clear();
        CBFMRepository* repo = nullptr;
        ASSERT_NO_THROW(repo = CBFMRepository::GetInstance(root.c_str()));
        ASSERT_NE(repo, nullptr);
        const std::uint16_t port = StartService();
        ASSERT_NE(port, 0);
        out.resumed = Saved();
        std::vector<TBackupInfo> backups;
        repo->GetAllBackups(backups);
        ASSERT_FALSE(backups.empty()) << "no backup at all after the restart";
        for (const TBackupInfo& b : backups) {
            std::unique_ptr<CBFMServer> s = repo->GetServer(b.serverID);
            ASSERT_TRUE(s);
            std::unique_ptr<CBFMBackup> rec = s->GetBackup(b.backupID);
            ASSERT_TRUE(rec) << "record " << b.backupID << " does not load";
            std::unique_ptr<CBFMFile> file = rec->OpenBFMFile(CBFMBackup::BackupFile);
            ASSERT_TRUE(file) << "record " << b.backupID << " has no image";
            std::vector<std::uint8_t> bytes;
            ASSERT_TRUE(testsupport::ReadDataFile(*file, bytes));
            SimImage image;
            ASSERT_TRUE(MergeModel::Parse(bytes, image)) << "record " << b.backupID << " holds a torn image";
            EXPECT_TRUE(reliability::SameImage(image, oldImage) || reliability::SameImage(image, newImage))
                << "record " << b.backupID << " holds neither image: " << reliability::Describe(image);
        }

        const reliability::RestoreOutcome r = reliability::RestoreFrom(port, header.serialNumber);
        ASSERT_TRUE(r.complete) << "nothing restores after the power loss: " << r.failure;
        if (reliability::SameImage(r.image, newImage)) {
            out.result = "new";
        } else {
            ASSERT_TRUE(reliability::SameImage(r.image, oldImage))
                << "restored neither image: " << reliability::Describe(r.image);
            ASSERT_FALSE(out.saved) << "a backup reported saved was lost with the power";
            ASSERT_FALSE(out.resumed) << "the restart reported the backup saved, yet it does not restore";
            out.result = "old";
        }

        // The next backup goes through.
        po.scratchPercent = 20;
        po.count = 40;
        po.seed = 13;
        const std::vector<SimCluster> third = ClusterPlan::Generate(po);
        const PushResult p = Push(port, header, false, third);
        ASSERT_TRUE(p.completed) << p.failure;
        out.refused = p.fellBackToFull;
        std::string why;
        EXPECT_TRUE(view.Holds(header.serialNumber, r.image, p.fellBackToFull, why))
            << why << (out.acknowledged ? " (DONE was answered)" : " (DONE was not answered)");
        ASSERT_TRUE(testsupport::ServiceIdle(port));
        const SimImage base = out.result == "new" ? newImage : oldImage;
        const SimImage expected =
            p.fellBackToFull ? MergeModel::Full(header, third) : MergeModel::Incremental(base, header, third);
        const reliability::RestoreOutcome after = reliability::RestoreFrom(port, header.serialNumber);
        ASSERT_TRUE(after.complete && reliability::SameImage(after.image, expected))
            << "the backup after the power loss does not restore";
        StopAll();
    }

    void EveryPoint(bool incremental, int scratchPercent = 20)
    {
        Outcome whole;
        Run(incremental, 0, whole, scratchPercent);
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(whole.saved) << "the backup without a cut did not succeed";
        EXPECT_EQ(whole.result, "new") << "a saved backup did not survive the power going right after it";
        ASSERT_GT(whole.points, 0u) << "the backup made nothing durable";
        std::map<std::string, int> results;
        int afterDone = 0;
        int refused = 0;
        int resumed = 0;
        for (std::uint64_t k = 1; k <= whole.points; ++k) {
            SCOPED_TRACE("power cut at durability point " + std::to_string(k) + " of " +
                         std::to_string(whole.points));
            Outcome o;
            Run(incremental, k, o, scratchPercent);
            if (HasFatalFailure())
                return;
            EXPECT_TRUE(o.cut);
            ++results[o.result];
            afterDone += o.acknowledged && !o.saved;
            refused += o.refused;
            resumed += o.resumed;
        }
        // The durability points from the last cluster to the commit all lie after DONE was
        // answered: a backup cut there was acknowledged but not reported saved.
        EXPECT_GT(afterDone, 0) << "no cut landed between the DONE answer and the commit";
        std::printf(
            "[ power ] %s backup (%d %% scratch): %llu durability points cut, %d left the old image, %d the "
            "new; "
            "%d cut between DONE and the commit, %d of them finished at the restart; next incremental "
            "refused %d times\n",
            incremental ? "incremental" : "full", scratchPercent,
            static_cast<unsigned long long>(whole.points), results["old"], results["new"], afterDone, resumed,
            refused);
    }
};

TEST_F(PowerLossServiceTest, FullBackupCutAtEachDurabilityPoint)
{
    EveryPoint(false);
}

// Stored without a merge: TmpMain becomes the image through the same commit.
TEST_F(PowerLossServiceTest, FullBackupWithoutScratchCutAtEachDurabilityPoint)
{
    EveryPoint(false, 0);
}

TEST_F(PowerLossServiceTest, IncrementalBackupCutAtEachDurabilityPoint)
{
    EveryPoint(true);
}

} // namespace
