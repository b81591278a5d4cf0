#include "CBFMBackup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "BackupDataLayout.h"
#include "CBFMFile.h"
#include "CClientExc.h"
#include "FaultPlatform.h"
#include "PlatformWrapper.h"
#include "TestSandbox.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kT1 = 1765000000;  // December 2025
constexpr std::uint32_t kT2 = 4102444800;  // January 2100: past 2038 on purpose

// A backup image: header and three records with the given payload seed.
std::string Image(char seed, std::size_t records = 3)
{
    using namespace BackupDataLayout;
    std::string out(kBackupHeaderSize, '\0');
    EncodeBackupHeader(BackupHeader{0x0001A2B3, 64, 1, 2, 3}, reinterpret_cast<std::uint8_t*>(out.data()));
    for (std::size_t i = 0; i < records; ++i) {
        std::uint8_t header[kClusterHeaderSize];
        EncodeClusterHeader(ClusterHeader{std::uint32_t(i), kModeMain, 8}, header);
        out.append(reinterpret_cast<char*>(header), sizeof header);
        out.append(8, char(seed + i));
    }
    return out;
}

class CBFMBackupTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        fs::create_directories(SandboxPath("srv/17"));
    }

    std::string Dir(const std::string& id = "17") { return SandboxPath("srv/" + id); }

    // Writes a data file of the record directly, with a small sub-file size.
    static void WriteData(const std::string& logical, const std::string& data, std::int32_t maxBytes = 2147483647)
    {
        CBFMFile file(logical, true, maxBytes);
        std::uint32_t written = 0;
        ASSERT_TRUE(file.Write(data.data(), std::uint32_t(data.size()), written));
        ASSERT_TRUE(file.Flush());
    }

    static std::string ReadImage(CBFMBackup& backup)
    {
        std::unique_ptr<CBFMFile> file = backup.OpenBFMFile(CBFMBackup::BackupFile);
        if (!file)
            return "<none>";
        std::string data(std::size_t(file->GetSize()), '\0');
        std::uint32_t got = 0;
        if (!file->Read(data.data(), std::uint32_t(data.size()), got))
            return "<short>";
        return data;
    }

    // A record holding `image` committed (full) at kT1.
    void Committed(const std::string& dir, const std::string& image, std::int32_t maxBytes)
    {
        hl::FaultPlatform clock;
        clock.SetWallClockMs(std::int64_t(kT1) * 1000);
        hl::ScopedPlatform use(clock);
        CBFMBackup backup(dir, fs::path(dir).filename().string());
        WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), image, maxBytes);
        ASSERT_TRUE(backup.CommitMerge(true));
        ASSERT_TRUE(backup.Cleanup());
        // The server's part of the commit, as CBFMServer::FinishCommits ends it.
        ASSERT_TRUE(CBFMBackup::RemoveCurrentNote(dir));
    }

    static std::vector<std::string> Files(const std::string& dir)
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

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
    WriteFile(Dir() + "/backup.cfg", "BackupID: 17\r\nFullBackupDate: 4102444800\r\nLastBackupDate: 4102444801\r\n"
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
    EXPECT_EQ(ReadFile(Dir() + "/backup.cfg"),
              "BackupID: 17\r\nFullBackupDate: 1765000000\r\nLastBackupDate: 1765000000\r\nNumIncrementals: 0\r\n");
    // The commit leaves its server a note: this full backup is to become current.
    EXPECT_EQ(Files(Dir()), (std::vector<std::string>{"backup.cfg", "backup_000.dat", "backup_cfg.dat", "current.cfg"}));
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
    Committed(Dir(), Image('a', 6), 16);  // 20 + 6*20 = 140 bytes: 9 sub-files
    ASSERT_TRUE(fs::exists(Dir() + "/backup_008.dat"));
    CBFMBackup backup(Dir());
    WriteData(backup.GetFilePath(CBFMBackup::TmpMergeFile), Image('b', 1), 16);  // 40 bytes: 3 sub-files
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
    EXPECT_EQ(replaced, nullptr);  // the first image replaces nothing

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
    fs::remove(Dir() + "/backup_002.dat");  // damaged: a sub-file in the middle is gone
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
    EXPECT_TRUE(valid(Image('a', 0)));                         // header only
    EXPECT_FALSE(valid(Image('a').substr(0, 19)));             // short header
    EXPECT_FALSE(valid(Image('a').substr(0, 20 + 12 + 7)));    // record cut short
    EXPECT_FALSE(valid(Image('a').substr(0, 20 + 20 + 5)));    // part of a record header
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

TEST_F(CBFMBackupTest, ExportAndImportCopyConfigurationAndImageOnly)
{
    Committed(Dir(), Image('a', 4), 16);
    CBFMBackup backup(Dir());
    WriteData(backup.GetFilePath(CBFMBackup::TmpMainFile), "in progress");
    fs::create_directories(SandboxPath("out/SRV"));

    EXPECT_EQ(backup.Export(""), CBFMBackup::ResultFailure);
    ASSERT_EQ(backup.Export(SandboxPath("out/SRV")), CBFMBackup::ResultSuccess);
    const std::string exported = SandboxPath("out/SRV/17");
    std::vector<std::string> expected = {"backup.cfg", "backup_cfg.dat"};
    for (int i = 0; i < 7; ++i)
        expected.push_back("backup_00" + std::to_string(i) + ".dat");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Files(exported), expected);
    EXPECT_EQ(ReadFile(exported + "/backup.cfg"), ReadFile(Dir() + "/backup.cfg"));
    // A second export into the same place finds the directory and fails.
    EXPECT_EQ(backup.Export(SandboxPath("out/SRV")), CBFMBackup::ResultFailure);

    CBFMBackup source(exported);
    fs::create_directories(SandboxPath("repo/SRV/17"));
    ASSERT_EQ(source.Import(SandboxPath("repo/SRV/17")), CBFMBackup::ResultSuccess);
    CBFMBackup imported(SandboxPath("repo/SRV/17"));
    EXPECT_EQ(ReadImage(imported), Image('a', 4));
    EXPECT_EQ(imported.LastBackupDate(), kT1);
    // The target's configuration exists now: importing again fails and leaves it alone.
    EXPECT_EQ(source.Import(SandboxPath("repo/SRV/17")), CBFMBackup::ResultFailure);
    EXPECT_EQ(ReadImage(imported), Image('a', 4));
}

// A copy that fails part-way takes back everything it created.
TEST_F(CBFMBackupTest, FailedExportAndImportLeaveNothingBehind)
{
    Committed(Dir(), Image('a', 4), 16);
    CBFMBackup backup(Dir());
    fs::create_directories(SandboxPath("out/SRV"));
    fs::create_directories(SandboxPath("repo/SRV/17"));
    for (std::uint64_t k = 1;; ++k) {
        hl::FaultPlatform full;
        full.FailNth(k, hl::kErrDiskFull, hl::kOpCopy);
        int exportResult = 0;
        int importResult = 0;
        {
            hl::ScopedPlatform use(full);
            exportResult = backup.Export(SandboxPath("out/SRV"));
        }
        if (!full.Hit()) {
            EXPECT_EQ(exportResult, CBFMBackup::ResultSuccess);
            break;
        }
        SCOPED_TRACE(k);
        EXPECT_EQ(exportResult, CBFMBackup::ResultDiskFull);
        EXPECT_FALSE(fs::exists(SandboxPath("out/SRV/17")));

        hl::FaultPlatform fullAgain;
        fullAgain.FailNth(k, hl::kErrDiskFull, hl::kOpCopy);
        {
            hl::ScopedPlatform use(fullAgain);
            importResult = backup.Import(SandboxPath("repo/SRV/17"));
        }
        EXPECT_EQ(importResult, CBFMBackup::ResultDiskFull);
        EXPECT_TRUE(Files(SandboxPath("repo/SRV/17")).empty());
    }
}

// A reader on another thread (the window listing sizes, a restore) never sees a mix of the
// previous and the new image while a commit switches them.
TEST_F(CBFMBackupTest, ReadersOnOtherThreadsSeeOneWholeImageDuringACommit)
{
    const std::string oldImage = Image('o', 12);
    const std::string newImage = Image('n', 9);
    Committed(Dir(), oldImage, 16);
    for (int round = 0; round < 5; ++round) {
        const bool toNew = round % 2 == 0;
        {
            CBFMBackup writer(Dir());
            WriteData(writer.GetFilePath(CBFMBackup::TmpMergeFile), toNew ? newImage : oldImage, 16);
        }
        std::atomic<bool> done{false};
        std::atomic<int> reads{0};
        std::atomic<int> mixed{0};
        std::thread reader([&] {
            do {
                try {
                    CBFMBackup backup(Dir());
                    const std::string image = ReadImage(backup);
                    if (image != oldImage && image != newImage)
                        ++mixed;
                    ++reads;
                } catch (const CClientExc&) {
                    ++mixed;
                }
            } while (!done);
        });
        CBFMBackup writer(Dir());
        EXPECT_TRUE(writer.CommitMerge(false));
        done = true;
        reader.join();
        EXPECT_GT(reads.load(), 0);
        EXPECT_EQ(mixed.load(), 0) << "round " << round;
        EXPECT_EQ(ReadImage(writer), toNew ? newImage : oldImage);
    }
}

// An export running while the service commits a new image of the same backup copies one
// whole image, together with the configuration that belongs to it: never sub-files of both
// images, never the new image under the previous dates.
TEST_F(CBFMBackupTest, ExportDuringACommitCopiesOneWholeImageWithItsConfiguration)
{
    // 16-byte sub-files: the images span 14 and 11 sub-files, so a switch renames many.
    const std::string oldImage = Image('o', 12);
    const std::string newImage = Image('n', 9);
    Committed(Dir(), oldImage, 16);
    fs::create_directories(SandboxPath("out"));
    int exports = 0;
    int failed = 0;
    int mixed = 0;
    for (int round = 0; round < 20; ++round) {
        // Every commit adds one incremental: an odd count goes with the new image.
        const bool toNew = round % 2 == 0;
        {
            CBFMBackup writer(Dir());
            WriteData(writer.GetFilePath(CBFMBackup::TmpMergeFile), toNew ? newImage : oldImage, 16);
        }
        CBFMBackup source(Dir());
        std::atomic<bool> done{false};
        std::thread exporter([&] {
            int n = 0;
            do {
                const std::string out = SandboxPath("out/" + std::to_string(round) + "-" + std::to_string(n++));
                fs::create_directory(out);
                if (source.Export(out) != CBFMBackup::ResultSuccess) {
                    ++failed;
                    continue;
                }
                ++exports;
                try {
                    CBFMBackup copy(out + "/17");
                    const bool newDates = copy.NumIncrementals() % 2 == 1;
                    if (ReadImage(copy) != (newDates ? newImage : oldImage))
                        ++mixed;
                } catch (const CClientExc&) {
                    ++mixed;
                }
                fs::remove_all(out);
            } while (!done);
        });
        CBFMBackup writer(Dir());
        EXPECT_TRUE(writer.CommitMerge(false));
        done = true;
        exporter.join();
        ASSERT_EQ(ReadImage(writer), toNew ? newImage : oldImage);
        ASSERT_EQ(writer.NumIncrementals(), round + 1);
    }
    EXPECT_GE(exports, 20);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(mixed, 0);
}

// ---- crash safety of the commit ----------------------------------------------------------

struct CrashCase {
    const char* name;
    bool hasOldImage;
    std::size_t oldRecords;
    std::size_t newRecords;
    bool sticky;  // true: nothing after the failing call happens (a crash); false: one failed call
};

class CBFMBackupCrashTest : public CBFMBackupTest, public ::testing::WithParamInterface<CrashCase> {};

// Fail every platform call of a commit in turn and check, after a restart, that the record
// loads and holds either its previous image or the new one, complete, with matching dates.
TEST_P(CBFMBackupCrashTest, EveryStopLeavesTheOldOrTheNewImageWhole)
{
    const CrashCase& c = GetParam();
    const std::string baseline = SandboxPath("baseline/17");
    fs::create_directories(baseline);
    const std::string oldImage = Image('o', c.oldRecords);
    const std::string newImage = Image('n', c.newRecords);
    // 48-byte sub-files: old and new images span two or three sub-files each.
    if (c.hasOldImage) {
        Committed(baseline, oldImage, 48);
    } else {
        CBFMBackup fresh(baseline, "17");
    }
    WriteData(baseline + "/merge.dat", newImage, 48);

    std::uint64_t k = 1;
    for (;; ++k) {
        SCOPED_TRACE("failing call " + std::to_string(k));
        const std::string work = SandboxPath("w" + std::to_string(k) + "/17");
        fs::create_directories(work);
        fs::copy(baseline, work, fs::copy_options::recursive);

        hl::FaultPlatform fault;
        fault.SetWallClockMs(std::int64_t(kT2) * 1000);
        fault.FailNth(k, c.sticky ? hl::kErrAccessDenied : hl::kErrDiskFull, hl::kOpAll, c.sticky);
        bool committed = false;
        std::unique_ptr<CBFMFile> replaced;  // as the service commits: the old image held open
        {
            hl::ScopedPlatform use(fault);
            try {
                CBFMBackup backup(work);
                committed = backup.CommitMerge(false, &replaced);
                if (!c.sticky)
                    backup.Cleanup();  // what the service does after every transfer
            } catch (const CClientExc&) {
            }
        }

        // Restart: the real platform, a fresh record.
        std::unique_ptr<CBFMBackup> after;
        try {
            after = std::make_unique<CBFMBackup>(work);
        } catch (const CClientExc& e) {
            // Only a record that never had an image may disappear, and only by Cleanup.
            EXPECT_FALSE(c.hasOldImage) << e.GetDescription();
            EXPECT_FALSE(committed);
            EXPECT_FALSE(c.sticky);
            EXPECT_FALSE(fs::exists(work + "/backup_cfg.dat"));
        }
        if (after) {
            const std::string image = ReadImage(*after);
            if (image == newImage) {
                EXPECT_EQ(after->LastBackupDate(), kT2);
                EXPECT_EQ(after->NumIncrementals(), 1);
            } else if (c.hasOldImage) {
                EXPECT_EQ(image, oldImage);
                EXPECT_FALSE(committed);
                EXPECT_EQ(after->LastBackupDate(), kT1);
                EXPECT_EQ(after->NumIncrementals(), 0);
            } else {
                EXPECT_EQ(image, "<none>");
                EXPECT_FALSE(committed);
            }
            EXPECT_FALSE(fs::exists(work + "/commit.cfg"));
            if (committed) {
                EXPECT_EQ(image, newImage);
            }
        }
        // A replaced image handed back is the whole previous one (a failed open hands back none).
        if (replaced) {
            EXPECT_TRUE(committed);
            std::string held(std::size_t(replaced->GetSize()), '\0');
            std::uint32_t got = 0;
            replaced->Read(held.data(), std::uint32_t(held.size()), got);
            EXPECT_EQ(held, oldImage);
            replaced.reset();
        }
        fs::remove_all(SandboxPath("w" + std::to_string(k)));
        if (!fault.Hit()) {
            EXPECT_TRUE(committed);
            break;
        }
        ASSERT_LT(k, 2000u) << "the commit never ran to its end";
    }
    // The loop really went through the commit's steps.
    EXPECT_GT(k, 10u);
}

INSTANTIATE_TEST_SUITE_P(Commit, CBFMBackupCrashTest,
                         ::testing::Values(CrashCase{"ShrinkCrash", true, 6, 2, true},
                                           CrashCase{"GrowCrash", true, 2, 6, true},
                                           CrashCase{"ShrinkFailedCall", true, 6, 2, false},
                                           CrashCase{"FirstCommitCrash", false, 0, 3, true},
                                           CrashCase{"FirstCommitFailedCall", false, 0, 3, false}),
                         [](const ::testing::TestParamInfo<CrashCase>& info) { return info.param.name; });

// A folder left by a commit that moved the previous image aside as "tmpbackup.dat" and was
// stopped: the record brings the previous image back, or keeps the new one if it is whole.
TEST_F(CBFMBackupTest, AnImageMovedAsideByAnInterruptedCommitIsBroughtBack)
{
    const std::string oldImage = Image('o', 4);
    const std::string newImage = Image('n', 1);

    // Stopped while the new image was moving in: tmpbackup whole, backup has no control file.
    Committed(Dir(), oldImage, 16);
    ASSERT_TRUE(CBFMFile::Rename(Dir() + "/backup.dat", Dir() + "/tmpbackup.dat"));
    WriteData(Dir() + "/merge.dat", newImage, 16);
    fs::rename(Dir() + "/merge_000.dat", Dir() + "/backup_000.dat");
    {
        CBFMBackup backup(Dir());
        EXPECT_EQ(ReadImage(backup), oldImage);
        EXPECT_TRUE(backup.Cleanup());
        EXPECT_EQ(ReadImage(backup), oldImage);
    }
    EXPECT_FALSE(fs::exists(Dir() + "/tmpbackup_000.dat"));

    // Stopped while the previous image was moving out.
    fs::rename(Dir() + "/backup_000.dat", Dir() + "/tmpbackup_000.dat");
    fs::rename(Dir() + "/backup_001.dat", Dir() + "/tmpbackup_001.dat");
    {
        CBFMBackup backup(Dir());
        EXPECT_EQ(ReadImage(backup), oldImage);
    }

    // Stopped after the new image was in place, before the previous one was deleted.
    ASSERT_TRUE(CBFMFile::Copy(Dir() + "/backup.dat", Dir() + "/tmpbackup.dat", false));
    ASSERT_TRUE(CBFMFile::Delete(Dir() + "/backup.dat"));
    WriteData(Dir() + "/backup.dat", newImage, 16);
    {
        CBFMBackup backup(Dir());
        EXPECT_EQ(ReadImage(backup), newImage);
        EXPECT_FALSE(fs::exists(Dir() + "/tmpbackup_cfg.dat"));
    }
}

TEST_F(CBFMBackupTest, ADamagedCommitRecordKeepsTheRecordFromLoadingAndTouchesNothing)
{
    Committed(Dir(), Image('a'), 16);
    WriteData(Dir() + "/merge.dat", Image('b'), 16);
    WriteFile(Dir() + "/commit.cfg", "NumSubFiles: -4\r\n");
    const auto before = Files(Dir());
    EXPECT_THROW(CBFMBackup backup(Dir()), CClientExc);
    EXPECT_EQ(Files(Dir()), before);
}

} // namespace

// ---- the record of an acknowledged transfer ------------------------------------------------

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
    return a.serialNumber == b.serialNumber && a.clusterSize == b.clusterSize && a.headerParam1 == b.headerParam1 &&
           a.headerParam2 == b.headerParam2 && a.headerParam3 == b.headerParam3 && a.full == b.full &&
           a.estimate == b.estimate && a.mainCount == b.mainCount && a.scratchCount == b.scratchCount &&
           a.mainBytes == b.mainBytes && a.scratchBytes == b.scratchBytes;
}

} // namespace

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
            fault.FailNth(2, hl::kErrAccessDenied, hl::kOpRename, true);  // after the commit record
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
