// "Verify Backups" in the Backup menu: the real window runs it on its work queue, writes one
// activity-log line per backup and a summary, and lets the same item cancel it.

#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "DialogTestSupport.h"
#include "ModalWatcher.h"
#include "PlatformWrapper.h"
#include "PresentationFixture.h"
#include "SampleBackupFolder.h"

#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

#include <filesystem>
#include <semaphore>

namespace fs = std::filesystem;

namespace {

// Holds the verify at its first checksum file until the test lets it go (ten seconds at most,
// so a test that never lets go fails instead of hanging).
class HeldChecksumPlatform : public hl::PlatformWrapper {
public:
    HeldChecksumPlatform() : PlatformWrapper(hl::PosixPlatform()) {}

    int OpenFile(const std::string& path, hl::OpenMode mode) override
    {
        if (path.size() > 11 && path.compare(path.size() - 11, 11, "/backup.sum") == 0 && held++ == 0) {
            reached.release();
            go.try_acquire_for(std::chrono::seconds(10));
        }
        return PlatformWrapper::OpenFile(path, mode);
    }

    std::atomic<int> held{0};
    std::binary_semaphore reached{0};
    std::binary_semaphore go{0};
};

class TMainFormVerifyTest : public PresentationTest {
protected:
    void SetUp() override
    {
        PresentationTest::SetUp();
        hl::Os().SetTimeZone("UTC");
        testsupport::CopySampleBackupFolder(BackupFolder() + "/");
        WriteSettings("0", BackupFolder());
        ShowMainForm();
    }
    void TearDown() override
    {
        PresentationTest::TearDown();
        hl::Os().SetTimeZone("");
    }

    // A checksum file for a sample image, made from the image as it stands.
    void AddChecksum(const std::string& backup)
    {
        const std::string image = BackupFolder() + "/" + backup + "/backup.dat";
        CBFMFile file(image, false);
        ASSERT_TRUE(CBFMChecksum::WriteForImage(file, CBFMChecksum::PathFor(image)));
    }

    QAction* VerifyItem() { return Child<QAction>("menuitemVerifyBackups"); }

    QStringList VerifyLines() { return ActivityTexts().filter("Verify of "); }
};

} // namespace

TEST_F(TMainFormVerifyTest, TheBackupMenuVerifiesEveryBackupAndReportsEachInTheActivityLog)
{
    QAction* item = VerifyItem();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), "Verify Backups");
    EXPECT_TRUE(Child<QMenu>("menuitemBackup")->actions().contains(item));

    // 417 (the current backup of 0001A2B3) gets a checksum file and then a flipped byte in
    // "block zero" (the record at offset 0x14); 9999 gets one and stays whole; 12 has none.
    ASSERT_NO_FATAL_FAILURE(AddChecksum("0001A2B3/417"));
    ASSERT_NO_FATAL_FAILURE(AddChecksum("00C0FFEE/9999"));
    const std::string image = BackupFolder() + "/0001A2B3/417/backup_000.dat";
    std::string bytes = ReadFile(image);
    bytes[0x22] = char(bytes[0x22] ^ 1);
    WriteFile(image, bytes);

    item->trigger();
    ASSERT_TRUE(WaitFor([&] { return !VerifyLines().filter("Verify of backups completed").isEmpty(); },
                        "the verify to end"));
    const QStringList lines = VerifyLines();
    ASSERT_EQ(lines.size(), 5) << lines.join("\n").toStdString();
    EXPECT_EQ(lines[0], "Verify of 3 backups started");
    EXPECT_TRUE(lines[1].startsWith("Verify of backup \"Quarnex Server ID: 0001A2B3    Mon Nov 24"));
    EXPECT_TRUE(lines[1].endsWith("\": no checksum, not yet checked (1 record, structure whole)"))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith("Verify of backup \"Quarnex Server ID: 0001A2B3    Sun Dec 07"));
    EXPECT_TRUE(lines[2].endsWith("\": damaged in backup_000.dat at offset 20: the record does not match its "
                                  "checksum.  The next backup from this server will be a full backup."))
        << lines[2].toStdString();
    EXPECT_TRUE(lines[3].startsWith("Verify of backup \"Main office    Server ID: 00C0FFEE"));
    EXPECT_TRUE(lines[3].endsWith("\": whole (0 records)")) << lines[3].toStdString();
    EXPECT_EQ(lines[4], "Verify of backups completed: 1 whole, 1 damaged, 1 not checked");
    // Also in the file, and the damaged current backup no longer takes incrementals.
    EXPECT_EQ(ActivityFileTexts().filter("Verify of ").size(), 5);
    const std::string server = ReadFile(BackupFolder() + "/0001A2B3/server.cfg");
    EXPECT_NE(server.find("CurrentBackupID: \r\n"), std::string::npos) << server;
    EXPECT_EQ(Text("lbStatusStateVal"), "Idle");
    EXPECT_EQ(item->text(), "Verify Backups");
}

TEST_F(TMainFormVerifyTest, WhileAVerifyRunsTheSameItemCancelsIt)
{
    ASSERT_NO_FATAL_FAILURE(AddChecksum("0001A2B3/417"));
    HeldChecksumPlatform held;
    hl::ScopedPlatform use(held);
    QAction* item = VerifyItem();
    item->trigger();
    ASSERT_TRUE(held.reached.try_acquire_for(std::chrono::seconds(10)));
    ASSERT_TRUE(
        WaitFor([&] { return item->text() == "Cancel Verify Backups"; }, "the item to offer cancelling"));
    EXPECT_EQ(Text("lbStatusStateVal"), "Verifying Backups");
    item->trigger();
    held.go.release();
    ASSERT_TRUE(WaitFor([&] { return !VerifyLines().filter("Verify of backups cancelled").isEmpty(); },
                        "the verify to stop"));
    EXPECT_EQ(VerifyLines().back(), "Verify of backups cancelled after 0 whole, 0 damaged, 1 not checked");
    EXPECT_EQ(item->text(), "Verify Backups");
    EXPECT_EQ(Text("lbStatusStateVal"), "Idle");
}
