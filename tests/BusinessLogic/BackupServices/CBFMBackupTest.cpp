// A backup record: its configuration, the commit that replaces its image, cleanup after a
// failed transfer, delete, and the check of an image's records. (Export and import:
// CBFMBackupCopyTest.cpp; a commit cut off anywhere: CBFMBackupCrashTest.cpp; the record of an
// acknowledged transfer: CBFMBackupTransferRecordTest.cpp.)
#include "CBFMBackupFixture.h"

#include "CClientExc.h"
#include "PlatformWrapper.h"

namespace fs = std::filesystem;

namespace {

TEST_F(CBFMBackupTest, NewRecordWritesAByteExactConfiguration)
{
    CBFMBackup backup(Dir(), "17");
    EXPECT_EQ(backup.GetName(), "17");
    EXPECT_EQ(ReadFile(Dir() + "/backup.cfg"),
              "BackupID: 17\r\nFullBackupDate: 0\r\nLastBackupDate: 0\r\nNumIncrementals: 0\r\n");
    EXPECT_EQ(backup.GetFilePath(CBFMBackup::TmpScratchFile), Dir() + "/scratch.dat");
    EXPECT_EQ(backup.GetBFMFileSize(CBFMBackup::BackupFile), -1);
}

TEST_F(CBFMBackupTest, ConstructorsRefuseRecordsThatAreNotThisDirectory)
{
    auto expectThrow = [](auto make, const char* text) {
        try {
            make();
            ADD_FAILURE() << "constructed";
        } catch (const CClientExc& e) {
            EXPECT_STREQ(e.GetDescription(), text);
        }
    };
    expectThrow([&] { CBFMBackup b(Dir(), ""); }, "No backup ID");
    expectThrow([&] { CBFMBackup b(Dir(), "18"); }, "Backup ID and directory name don't match\n");
    expectThrow([&] { CBFMBackup b(Dir()); }, "Unable to read the backup configuration\n");
    WriteFile(Dir() + "/backup.cfg", "BackupID: 18\r\nFullBackupDate: 5\r\n");
    expectThrow([&] { CBFMBackup b(Dir()); }, "Backup ID and directory name don't match\n");
    WriteFile(Dir() + "/backup.cfg", "FullBackupDate: 5\r\n");
    expectThrow([&] { CBFMBackup b(Dir()); }, "Backup ID and directory name don't match\n");
    WriteFile(Dir() + "/backup.cfg", "");
    expectThrow([&] { CBFMBackup b(Dir()); }, "Unable to read the backup configuration\n");

    // Unsigned dates beyond 2038 load as written.
    WriteFile(Dir() + "/backup.cfg",
              "BackupID: 17\r\nFullBackupDate: 4102444800\r\nLastBackupDate: 4102444801\r\n"
              "NumIncrementals: 4\r\n");
    CBFMBackup b(Dir());
    EXPECT_EQ(b.FullBackupDate(), 4102444800u);
    EXPECT_EQ(b.LastBackupDate(), 4102444801u);
    EXPECT_EQ(b.NumIncrementals(), 4);
}

TEST_F(CBFMBackupTest, UnknownFileTypeGivesNoFile)
{
    CBFMBackup backup(Dir(), "17");
    EXPECT_EQ(backup.CreateBFMFile(5), nullptr);
    EXPECT_EQ(backup.OpenBFMFile(-1), nullptr);
    EXPECT_EQ(backup.GetBFMFileSize(9), -1);
    EXPECT_EQ(backup.GetFilePath(7), "");
}

TEST_F(CBFMBackupTest, FullThenIncrementalCommitsReplaceTheImageAndStampTheDates)
{
    hl::FaultPlatform clock;
    hl::ScopedPlatform use(clock);
    clock.SetWallClockMs(std::int64_t(kT1) * 1000);
    CBFMBackup backup(Dir(), "17");
    {
        std::unique_ptr<CBFMFile> merge = backup.CreateBFMFile(CBFMBackup::TmpMergeFile);
        ASSERT_NE(merge, nullptr);
        const std::string a = Image('a');
        std::uint32_t written = 0;
        ASSERT_TRUE(merge->Write(a.data(), std::uint32_t(a.size()), written));
    }
    ASSERT_TRUE(backup.CommitMerge(true));
    EXPECT_EQ(backup.FullBackupDate(), kT1);
    EXPECT_EQ(backup.LastBackupDate(), kT1);
    EXPECT_EQ(backup.NumIncrementals(), 0);
    EXPECT_EQ(ReadImage(backup), Image('a'));
    EXPECT_EQ(
        ReadFile(Dir() + "/backup.cfg"),
        "BackupID: 17\r\nFullBackupDate: 1765000000\r\nLastBackupDate: 1765000000\r\nNumIncrementals: 0\r\n");
    // The commit leaves its server a note: this full backup is to become current.
    EXPECT_EQ(Files(Dir()),
              (std::vector<std::string>{"backup.cfg", "backup_000.dat", "backup_cfg.dat", "current.cfg"}));
    bool noted = false;
    bool full = false;
    std::uint32_t date = 0;
    ASSERT_TRUE(CBFMBackup::ReadCurrentNote(Dir(), noted, full, date));
    EXPECT_TRUE(noted && full);
    EXPECT_EQ(date, kT1);

    clock.SetWallClockMs(std::int64_t(kT2) * 1000);
    WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), Image('k', 5));
    ASSERT_TRUE(backup.CommitMerge(false));
    EXPECT_EQ(backup.FullBackupDate(), kT1);
    EXPECT_EQ(backup.LastBackupDate(), kT2);
    EXPECT_EQ(backup.NumIncrementals(), 1);
    ASSERT_TRUE(CBFMBackup::ReadCurrentNote(Dir(), noted, full, date));
    EXPECT_TRUE(noted);
    EXPECT_FALSE(full);
    EXPECT_EQ(date, kT2);
    ASSERT_TRUE(CBFMBackup::RemoveCurrentNote(Dir()));
    EXPECT_EQ(Files(Dir()), (std::vector<std::string>{"backup.cfg", "backup_000.dat", "backup_cfg.dat"}));

    CBFMBackup reloaded(Dir());
    EXPECT_EQ(reloaded.FullBackupDate(), kT1);
    EXPECT_EQ(reloaded.LastBackupDate(), kT2);
    EXPECT_EQ(reloaded.NumIncrementals(), 1);
    EXPECT_EQ(ReadImage(reloaded), Image('k', 5));
    EXPECT_EQ(reloaded.GetBFMFileSize(CBFMBackup::BackupFile), std::int64_t(Image('k', 5).size()));
}

TEST_F(CBFMBackupTest, CommitOfAShorterImageLeavesNoSubFileOfTheLongerOne)
{
    Committed(Dir(), Image('a', 6), 16); // 20 + 6*20 = 140 bytes: 9 sub-files
    ASSERT_TRUE(fs::exists(Dir() + "/backup_008.dat"));
    CBFMBackup backup(Dir());
    WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), Image('b', 1), 16); // 40 bytes: 3 sub-files
    ASSERT_TRUE(backup.CommitMerge(true));
    EXPECT_FALSE(fs::exists(Dir() + "/backup_003.dat"));
    EXPECT_FALSE(fs::exists(Dir() + "/backup_008.dat"));
    EXPECT_EQ(ReadImage(backup), Image('b', 1));
}

// The service reports a backup done before the replaced image's disk space is given back.
TEST_F(CBFMBackupTest, TheReplacedImageComesBackOpenAndIsGoneFromTheRecord)
{
    CBFMBackup backup(Dir(), "17");
    WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), Image('a', 4), 48);
    std::unique_ptr<CBFMFile> replaced;
    ASSERT_TRUE(backup.CommitMerge(true, &replaced));
    EXPECT_EQ(replaced, nullptr); // the first image replaces nothing

    WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), Image('b', 1), 48);
    ASSERT_TRUE(backup.CommitMerge(false, &replaced));
    ASSERT_NE(replaced, nullptr);
    ASSERT_TRUE(CBFMBackup::RemoveCurrentNote(Dir()));
    EXPECT_EQ(Files(Dir()), (std::vector<std::string>{"backup.cfg", "backup_000.dat", "backup_cfg.dat"}));
    EXPECT_EQ(ReadImage(backup), Image('b', 1));
    // Every sub-file of the old series, the ones the shorter image dropped included.
    const std::string old = Image('a', 4);
    ASSERT_EQ(replaced->GetSize(), std::int64_t(old.size()));
    std::string back(old.size(), '\0');
    std::uint32_t got = 0;
    ASSERT_TRUE(replaced->Read(back.data(), std::uint32_t(back.size()), got));
    EXPECT_EQ(back, old);
}

// The merge file and the transfer files are all made durable (by the commit, and before DONE
// is answered), so each starts the disk early; other files do not.
TEST_F(CBFMBackupTest, TransferAndMergeFilesAreWrittenBehind)
{
    struct Hints : hl::PlatformWrapper {
        Hints() : hl::PlatformWrapper(hl::Os()) {}
        bool StartWriteback(int fd, std::uint64_t offset, std::uint64_t count) override
        {
            ++calls;
            return hl::PlatformWrapper::StartWriteback(fd, offset, count);
        }
        int calls = 0;
    } hints;
    hl::ScopedPlatform use(hints);
    CBFMBackup backup(Dir(), "17");
    const std::string block(1024 * 1024, 'm');
    std::uint32_t written = 0;
    for (int type : {CBFMBackup::TmpMainFile, CBFMBackup::TmpScratchFile, CBFMBackup::TmpMergeFile,
                     CBFMBackup::BackupFile}) {
        hints.calls = 0;
        std::unique_ptr<CBFMFile> file = backup.CreateBFMFile(type);
        ASSERT_NE(file, nullptr);
        for (int i = 0; i < 9; ++i)
            ASSERT_TRUE(file->Write(block.data(), std::uint32_t(block.size()), written));
        ASSERT_TRUE(file->Flush());
        EXPECT_EQ(hints.calls, type == CBFMBackup::BackupFile ? 0 : 1) << "file type " << type;
    }
}

TEST_F(CBFMBackupTest, CommitWithoutAMergeFileFailsAndKeepsTheImage)
{
    Committed(Dir(), Image('a'), 2147483647);
    CBFMBackup backup(Dir());
    EXPECT_FALSE(backup.CommitMerge(false));
    EXPECT_EQ(ReadImage(backup), Image('a'));
    EXPECT_EQ(backup.NumIncrementals(), 0);
}

TEST_F(CBFMBackupTest, CleanupAfterAFailedFirstTransferLeavesAnEmptyDirectory)
{
    CBFMBackup backup(Dir(), "17");
    WriteData(backup.GetFilePath(CBFMBackup::TmpMainFile), "main");
    WriteData(backup.GetFilePath(CBFMBackup::TmpScratchFile), "scratch");
    WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), "merge");
    EXPECT_TRUE(backup.Cleanup());
    EXPECT_TRUE(Files(Dir()).empty());
}

TEST_F(CBFMBackupTest, CleanupAfterAFailedIncrementalKeepsTheImageAndConfiguration)
{
    Committed(Dir(), Image('a'), 2147483647);
    const std::string config = ReadFile(Dir() + "/backup.cfg");
    CBFMBackup backup(Dir());
    WriteData(backup.GetFilePath(CBFMBackup::TmpMainFile), "main");
    WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), "merge");
    EXPECT_TRUE(backup.Cleanup());
    EXPECT_EQ(Files(Dir()), (std::vector<std::string>{"backup.cfg", "backup_000.dat", "backup_cfg.dat"}));
    EXPECT_EQ(ReadFile(Dir() + "/backup.cfg"), config);
    EXPECT_EQ(ReadImage(backup), Image('a'));
}

// An image that exists but does not open is kept, with the configuration that describes it.
TEST_F(CBFMBackupTest, CleanupKeepsTheConfigurationOfAnImageThatExistsButDoesNotOpen)
{
    Committed(Dir(), Image('a', 4), 16);
    const std::string config = ReadFile(Dir() + "/backup.cfg");
    fs::remove(Dir() + "/backup_002.dat"); // damaged: a sub-file in the middle is gone
    CBFMBackup backup(Dir());
    EXPECT_EQ(backup.OpenBFMFile(CBFMBackup::BackupFile), nullptr);
    EXPECT_FALSE(backup.Cleanup());
    EXPECT_EQ(ReadFile(Dir() + "/backup.cfg"), config);
    EXPECT_TRUE(fs::exists(Dir() + "/backup_000.dat"));
    EXPECT_TRUE(fs::exists(Dir() + "/backup_cfg.dat"));

    // Whole, but unreadable for now (every open fails): kept as well.
    fs::create_directories(Dir("18"));
    Committed(Dir("18"), Image('b'), 2147483647);
    CBFMBackup locked(Dir("18"));
    hl::FaultPlatform denied;
    denied.FailAll(hl::kErrAccessDenied, hl::kOpOpen);
    {
        hl::ScopedPlatform use(denied);
        EXPECT_FALSE(locked.Cleanup());
    }
    EXPECT_TRUE(denied.Hit());
    EXPECT_EQ(ReadImage(locked), Image('b'));
    EXPECT_TRUE(fs::exists(Dir("18") + "/backup.cfg"));
}

TEST_F(CBFMBackupTest, DeleteRemovesEveryFileButNotTheDirectory)
{
    Committed(Dir(), Image('a'), 16);
    CBFMBackup backup(Dir());
    WriteData(backup.GetFilePath(CBFMBackup::TmpScratchFile), "scratch", 4);
    EXPECT_TRUE(CBFMBackup::Delete(Dir()));
    EXPECT_TRUE(fs::is_directory(Dir()));
    EXPECT_TRUE(Files(Dir()).empty());
}

TEST_F(CBFMBackupTest, ValidateImageAcceptsOnlyWholeRecordsAfterAUsableHeader)
{
    using namespace BackupDataLayout;
    CBFMBackup backup(Dir(), "17");
    const std::string image = backup.GetFilePath(CBFMBackup::BackupFile);
    auto valid = [&](const std::string& data) {
        WriteData(image, data, 16);
        return backup.ValidateImage();
    };
    EXPECT_TRUE(valid(Image('a')));
    EXPECT_TRUE(valid(Image('a', 0)));                      // header only
    EXPECT_FALSE(valid(Image('a').substr(0, 19)));          // short header
    EXPECT_FALSE(valid(Image('a').substr(0, 20 + 12 + 7))); // record cut short
    EXPECT_FALSE(valid(Image('a').substr(0, 20 + 20 + 5))); // part of a record header
    std::string bigCluster = Image('a');
    auto* stored = reinterpret_cast<std::uint8_t*>(bigCluster.data());
    BackupHeader header = DecodeBackupHeader(stored);
    header.clusterSize = 65537;
    EncodeBackupHeader(header, stored);
    EXPECT_FALSE(valid(bigCluster));
    std::string tooLong = Image('a');
    auto* first = reinterpret_cast<std::uint8_t*>(tooLong.data()) + kBackupHeaderSize;
    ClusterHeader record = DecodeClusterHeader(first);
    record.length = 65; // > clusterSize
    EncodeClusterHeader(record, first);
    EXPECT_FALSE(valid(tooLong));
    CBFMFile::Delete(image);
    EXPECT_FALSE(backup.ValidateImage());
}

} // namespace
