// The record of an acknowledged transfer: read back, taken only whole, replaced by a new
// transfer, and consumed by the commit that merged it.
#include "CBFMBackupFixture.h"

namespace fs = std::filesystem;

namespace {

CBFMBackup::TransferRecord SampleTransfer()
{
    CBFMBackup::TransferRecord r;
    r.serialNumber = 0x0001A2B3;
    r.clusterSize = 4096;
    r.headerParam1 = 7;
    r.headerParam2 = 0xFFFFFFFF;
    r.headerParam3 = 9;
    r.full = true;
    r.estimate = 1000;
    r.mainCount = 12;
    r.scratchCount = 3;
    r.mainBytes = 12 * (4096 + 12);
    r.scratchBytes = 3 * (4096 + 12);
    return r;
}

bool SameTransfer(const CBFMBackup::TransferRecord& a, const CBFMBackup::TransferRecord& b)
{
    return a.serialNumber == b.serialNumber && a.clusterSize == b.clusterSize &&
           a.headerParam1 == b.headerParam1 && a.headerParam2 == b.headerParam2 &&
           a.headerParam3 == b.headerParam3 && a.full == b.full && a.estimate == b.estimate &&
           a.mainCount == b.mainCount && a.scratchCount == b.scratchCount && a.mainBytes == b.mainBytes &&
           a.scratchBytes == b.scratchBytes;
}

TEST_F(CBFMBackupTest, ATransferRecordReadsBackAndGoesWithCleanup)
{
    CBFMBackup backup(Dir(), "17");
    CBFMBackup::TransferRecord read;
    bool exists = true;
    EXPECT_FALSE(backup.LoadTransferRecord(read, exists));
    EXPECT_FALSE(exists);

    const CBFMBackup::TransferRecord written = SampleTransfer();
    ASSERT_TRUE(backup.SaveTransferRecord(written));
    ASSERT_TRUE(CBFMBackup(Dir()).LoadTransferRecord(read, exists));
    EXPECT_TRUE(exists);
    EXPECT_TRUE(SameTransfer(read, written));

    WriteData(backup.GetFilePath(CBFMBackup::TmpMainFile), "main");
    EXPECT_TRUE(backup.Cleanup());
    EXPECT_FALSE(backup.LoadTransferRecord(read, exists));
    EXPECT_FALSE(exists);
}

TEST_F(CBFMBackupTest, AnIncompleteTransferRecordIsNotTaken)
{
    CBFMBackup backup(Dir(), "17");
    ASSERT_TRUE(backup.SaveTransferRecord(SampleTransfer()));
    std::string text = ReadFile(Dir() + "/transfer.cfg");
    const std::size_t at = text.find("ScratchBytes");
    ASSERT_NE(at, std::string::npos);
    WriteFile(Dir() + "/transfer.cfg", text.substr(0, at));
    CBFMBackup::TransferRecord read;
    bool exists = false;
    EXPECT_FALSE(backup.LoadTransferRecord(read, exists));
    EXPECT_TRUE(exists);
}

TEST_F(CBFMBackupTest, ANewTransferDropsTheRecordOfAnEarlierOne)
{
    CBFMBackup backup(Dir(), "17");
    ASSERT_TRUE(backup.SaveTransferRecord(SampleTransfer()));
    ASSERT_NE(backup.CreateBFMFile(CBFMBackup::TmpMainFile), nullptr);
    CBFMBackup::TransferRecord read;
    bool exists = true;
    EXPECT_FALSE(backup.LoadTransferRecord(read, exists));
    EXPECT_FALSE(exists);
}

// Once merged, a transfer must never be merged again: its record goes with the commit, in the
// same repair that finishes an interrupted switch.
TEST_F(CBFMBackupTest, TheCommitConsumesTheTransferRecordEvenWhenARepairFinishesIt)
{
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "switch finished by a repair" : "switch in one go");
        const std::string dir = Dir(interrupted ? "18" : "17");
        fs::create_directories(dir);
        CBFMBackup backup(dir, interrupted ? "18" : "17");
        ASSERT_TRUE(backup.SaveTransferRecord(SampleTransfer()));
        WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), Image('n'));
        bool decided = false;
        if (interrupted) {
            hl::FaultPlatform fault;
            fault.FailNth(2, hl::kErrAccessDenied, hl::kOpRename, true); // after the commit record
            hl::ScopedPlatform use(fault);
            EXPECT_FALSE(backup.CommitMerge(true, nullptr, &decided));
            EXPECT_TRUE(fs::exists(dir + "/transfer.cfg"));
        } else {
            EXPECT_TRUE(backup.CommitMerge(true, nullptr, &decided));
        }
        EXPECT_TRUE(decided);
        CBFMBackup after(dir);
        CBFMBackup::TransferRecord read;
        bool exists = true;
        EXPECT_FALSE(after.LoadTransferRecord(read, exists));
        EXPECT_FALSE(exists);
        EXPECT_EQ(ReadImage(after), Image('n'));
        bool unfinished = false;
        ASSERT_TRUE(CBFMBackup::HasUnfinishedCommit(dir, unfinished));
        EXPECT_TRUE(unfinished) << "the server's part still waits";
    }
}

} // namespace
