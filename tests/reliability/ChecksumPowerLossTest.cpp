// Power loss and the checksum file: a commit, and a whole backup, cut at each durability point
// leave every record with a checksum file that matches its image, or with none; never one that
// belongs to another image.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "CBFMVerify.h"
#include "PowerLossPlatform.h"
#include "ReliabilitySupport.h"
#include "ServiceFixture.h"

using namespace quarnexsim;

namespace {

class ChecksumPowerLossTest : public InProcessServiceTest {
protected:
    struct Outcome {
        std::uint64_t points = 0;
        int checked = 0;   // records whose checksum file matched
        int unchecked = 0; // records left without one
    };

    // scratchPercent of the backup under test (0: a full backup stored without a merge).
    void Run(bool incremental, std::uint64_t k, Outcome& out, int scratchPercent = 20)
    {
        const std::string root = SandboxPath("sum" + std::to_string(k) + (incremental ? "i" : "f"));
        const SimHeader header{0x0001A2B3, 1024, 5, 6, 7};
        PlanOptions po;
        po.clusterSize = header.clusterSize;
        po.count = 60;
        po.scratchPercent = 20;
        po.varyLengths = true;
        po.seed = 21;
        const std::vector<SimCluster> first = ClusterPlan::Generate(po);
        po.count = 40;
        po.firstBlock = 30;
        po.seed = 22;
        po.scratchPercent = scratchPercent;
        const std::vector<SimCluster> second = ClusterPlan::Generate(po);
        {
            ASSERT_TRUE(OpenRepository(root, header.serialNumber, 0));
            const std::uint16_t port = StartService();
            ASSERT_NE(port, 0);
            ASSERT_TRUE(Push(port, header, true, first).completed);
            ASSERT_TRUE(testsupport::ServiceIdle(port));
            StopAll();
        }
        hl::PowerLossPlatform power(hl::PosixPlatform(), root);
        power.CutAt(k);
        {
            hl::ScopedPlatform use(power);
            ASSERT_NE(CBFMRepository::GetInstance(root.c_str()), nullptr);
            const std::uint16_t port = StartService();
            ASSERT_NE(port, 0);
            Push(port, header, !incremental, second);
            ASSERT_TRUE(testsupport::ServiceIdle(port));
            StopAll();
        }
        out.points = power.Points();
        ASSERT_TRUE(power.ApplyLoss());

        // The restart finishes or drops what the cut left; then every record is looked at.
        CBFMRepository* repo = nullptr;
        ASSERT_NO_THROW(repo = CBFMRepository::GetInstance(root.c_str()));
        ASSERT_NE(repo, nullptr);
        ASSERT_NE(StartService(), 0);
        std::vector<TBackupInfo> backups;
        repo->GetAllBackups(backups);
        ASSERT_FALSE(backups.empty());
        for (const TBackupInfo& b : backups) {
            std::unique_ptr<CBFMServer> s = repo->GetServer(b.serverID);
            ASSERT_TRUE(s);
            std::unique_ptr<CBFMBackup> rec = s->GetBackup(b.backupID);
            ASSERT_TRUE(rec);
            const CBFMVerify::Result r = CBFMVerify::Verify(*rec);
            ASSERT_TRUE(r.verdict == CBFMVerify::Verdict::Whole ||
                        r.verdict == CBFMVerify::Verdict::NoChecksum)
                << "record " << b.backupID << ": " << CBFMVerify::Describe(r);
            if (r.verdict == CBFMVerify::Verdict::Whole)
                ++out.checked;
            else
                ++out.unchecked;
            bool stray = true;
            ASSERT_TRUE(CBFMFile::Probe(rec->GetChecksumPath(CBFMBackup::TmpMergeFile), stray));
            EXPECT_FALSE(stray) << "a merge checksum file outlived the restart in " << b.backupID;
        }
        StopAll();
    }

    void EveryPoint(bool incremental, int scratchPercent = 20)
    {
        Outcome whole;
        Run(incremental, 0, whole, scratchPercent);
        if (HasFatalFailure())
            return;
        ASSERT_GT(whole.points, 0u);
        EXPECT_EQ(whole.unchecked, 0) << "an uncut backup left an image without its checksum file";
        int checked = 0;
        int unchecked = 0;
        for (std::uint64_t k = 1; k <= whole.points; ++k) {
            SCOPED_TRACE("power cut at durability point " + std::to_string(k) + " of " +
                         std::to_string(whole.points));
            Outcome o;
            Run(incremental, k, o, scratchPercent);
            if (HasFatalFailure())
                return;
            checked += o.checked;
            unchecked += o.unchecked;
        }
        EXPECT_GT(checked, 0);
        std::printf(
            "[ power ] %s backup (%d %% scratch): %llu durability points cut; records after the restart: %d "
            "with a matching checksum file, %d without one, none with a wrong one\n",
            incremental ? "incremental" : "full", scratchPercent,
            static_cast<unsigned long long>(whole.points), checked, unchecked);
    }
};

// The commit alone (no transfer a restart could finish instead): an image with its checksum
// file replaced by a merge with its own, the power cut at each durability point.
class ChecksumCommitPowerLossTest : public SandboxTest {
protected:
    // A merge output of `count` records of `length` bytes with its checksum file.
    static void WriteMerge(CBFMBackup& record, std::uint32_t count, std::uint32_t length, std::uint8_t fill)
    {
        std::unique_ptr<CBFMFile> merge = record.CreateBFMFile(CBFMBackup::TmpMergeFile);
        ASSERT_TRUE(merge);
        const BackupDataLayout::BackupHeader header{0x1A2B3, 512, 1, 2, 3};
        std::uint8_t bytes[BackupDataLayout::kBackupHeaderSize];
        BackupDataLayout::EncodeBackupHeader(header, bytes);
        std::uint32_t written = 0;
        ASSERT_TRUE(merge->Write(bytes, sizeof bytes, written));
        CBFMChecksum sum;
        ASSERT_TRUE(sum.Begin(record.GetChecksumPath(CBFMBackup::TmpMergeFile), header));
        std::vector<std::uint8_t> rec(BackupDataLayout::kClusterHeaderSize + length, fill);
        for (std::uint32_t i = 0; i < count; ++i) {
            BackupDataLayout::EncodeClusterHeader({i, BackupDataLayout::kModeMain, length}, rec.data());
            ASSERT_TRUE(merge->Write(rec.data(), std::uint32_t(rec.size()), written));
            sum.AddRecord(rec.data(), rec.size());
        }
        ASSERT_TRUE(merge->Sync());
        ASSERT_TRUE(sum.Finish());
    }

    // Returns the durability points the commit reached; `which` says which image was found.
    std::uint64_t Run(std::uint64_t k, std::string& which)
    {
        const std::string root = SandboxPath("commit" + std::to_string(k));
        const std::string dir = root + "/77";
        std::filesystem::create_directories(dir);
        {
            CBFMBackup record(dir, "77");
            WriteMerge(record, 5, 100, 0xAA);
            EXPECT_TRUE(record.CommitMerge(true));
            WriteMerge(record, 7, 300, 0x55);
        }
        hl::PowerLossPlatform power(hl::PosixPlatform(), root);
        power.CutAt(k);
        {
            hl::ScopedPlatform use(power);
            try {
                CBFMBackup record(dir);
                record.CommitMerge(false);
            } catch (const std::exception&) {}
        }
        const std::uint64_t points = power.Points();
        EXPECT_TRUE(power.ApplyLoss());
        CBFMBackup record(dir); // repairs what the cut left
        const CBFMVerify::Result r = CBFMVerify::Verify(record);
        EXPECT_TRUE(r.verdict == CBFMVerify::Verdict::Whole || r.verdict == CBFMVerify::Verdict::NoChecksum)
            << CBFMVerify::Describe(r);
        which = r.records == 5 ? "old" : r.records == 7 ? "new" : "neither";
        which += r.verdict == CBFMVerify::Verdict::Whole ? "+sum" : "";
        return points;
    }
};

TEST_F(ChecksumCommitPowerLossTest, ACommitCutAtEachDurabilityPointKeepsImageAndChecksumTogether)
{
    std::string which;
    const std::uint64_t points = Run(0, which);
    EXPECT_EQ(which, "new+sum");
    ASSERT_GT(points, 2u);
    std::map<std::string, int> seen;
    for (std::uint64_t k = 1; k <= points; ++k) {
        SCOPED_TRACE("power cut at durability point " + std::to_string(k) + " of " + std::to_string(points));
        Run(k, which);
        if (HasFailure())
            return;
        EXPECT_NE(which.rfind("neither", 0), 0u);
        ++seen[which];
    }
    // Early cuts keep the old image, late ones the new one, each with its own checksum file.
    EXPECT_GT(seen["old+sum"], 0);
    EXPECT_GT(seen["new+sum"], 0);
    std::printf("[ power ] commit: %llu durability points cut: %d old image with its checksum file, %d old "
                "without, %d new with, %d new without\n",
                static_cast<unsigned long long>(points), seen["old+sum"], seen["old"], seen["new+sum"],
                seen["new"]);
}

TEST_F(ChecksumPowerLossTest, FullBackupCutAtEachDurabilityPoint)
{
    EveryPoint(false);
}

// Stored without a merge: main.sum, written as the transfer arrived, follows main.dat.
TEST_F(ChecksumPowerLossTest, FullBackupWithoutScratchCutAtEachDurabilityPoint)
{
    EveryPoint(false, 0);
}

TEST_F(ChecksumPowerLossTest, IncrementalBackupCutAtEachDurabilityPoint)
{
    EveryPoint(true);
}

} // namespace
