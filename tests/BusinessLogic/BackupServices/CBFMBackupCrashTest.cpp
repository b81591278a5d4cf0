// Crash safety of the commit: every platform call of a commit failed in turn, an image moved
// aside by an interrupted commit, a damaged commit record.
#include "CBFMBackupFixture.h"

#include "CClientExc.h"

namespace fs = std::filesystem;

namespace {

struct CrashCase {
    const char* name;
    bool hasOldImage;
    std::size_t oldRecords;
    std::size_t newRecords;
    bool sticky; // true: nothing after the failing call happens (a crash); false: one failed call
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
        std::unique_ptr<CBFMFile> replaced; // as the service commits: the old image held open
        {
            hl::ScopedPlatform use(fault);
            try {
                CBFMBackup backup(work);
                committed = backup.CommitMerge(false, &replaced);
                if (!c.sticky)
                    backup.Cleanup(); // what the service does after every transfer
            } catch (const CClientExc&) {}
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
