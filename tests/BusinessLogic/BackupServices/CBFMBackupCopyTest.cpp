// Export and import of a backup record, and readers and exports on other threads while a
// commit switches the image.
#include "CBFMBackupFixture.h"

#include <atomic>
#include <thread>

#include "CClientExc.h"

namespace fs = std::filesystem;

namespace {

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
                const std::string out =
                    SandboxPath("out/" + std::to_string(round) + "-" + std::to_string(n++));
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

} // namespace
