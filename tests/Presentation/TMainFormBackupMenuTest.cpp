// The Backup menu, the work queue, the debug-log viewer and the about box, driven through the
// main window's own menu items.

#include "CBFMRepository.h"
#include "CLog.h"
#include "CWork.h"
#include "FaultPlatform.h"
#include "GUIComm.h"
#include "ModalWatcher.h"
#include "PlatformWrapper.h"
#include "PresentationFixture.h"
#include "SampleBackupFolder.h"
#include "ScopedEnvironment.h"
#include "StalledCopyPlatform.h"
#include "TAboutBox.h"
#include "TBackupOptionsForm.h"
#include "TDeleteBackupForm.h"
#include "TExportBackupForm.h"
#include "TImportBackupForm.h"
#include "TViewDebugLogForm.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <semaphore>

namespace fs = std::filesystem;

namespace {

class TMainFormBackupMenuTest : public PresentationTest {
protected:
    void SetUp() override
    {
        PresentationTest::SetUp();
        testsupport::CopySampleBackupFolder(BackupFolder() + "/");
        fs::create_directories(SandboxPath("exports"));
        WriteSettings("0", BackupFolder());
        ShowMainForm();
    }
    CBFMRepository* Repository() { return CBFMRepository::GetInstance(nullptr); }

    void Trigger(const char* item) { Child<QAction>(item)->trigger(); }

    // Opens the delete dialog and chooses the entry whose text starts with `prefix`
    // (or presses OK on whatever it shows when prefix is null); returns what it listed.
    QStringList DeleteThrough(const char* prefix, bool italic = false)
    {
        ModalWatcher driver;
        QStringList listed;
        bool wasItalic = false;
        driver.Then([&](QWidget* w) {
            auto* form = qobject_cast<TDeleteBackupForm*>(w);
            ASSERT_NE(form, nullptr);
            auto* cbox = form->findChild<QComboBox*>("cboxBackupSelection");
            for (int i = 0; i < cbox->count(); ++i)
                listed << cbox->itemText(i);
            wasItalic = cbox->font().italic();
            if (prefix)
                for (int i = 0; i < cbox->count(); ++i)
                    if (cbox->itemText(i).startsWith(prefix))
                        cbox->setCurrentIndex(i);
            ClickLater(form->findChild<QPushButton*>("btnOK"));
        });
        Trigger("menuitemDeleteBackup");
        EXPECT_TRUE(driver.AllHandled());
        EXPECT_TRUE(driver.unexpected.empty());
        EXPECT_EQ(wasItalic, italic);
        return listed;
    }

    std::string ServerConfig(const char* id) { return ReadFile(BackupFolder() + "/" + id + "/server.cfg"); }

    testsupport::ScopedTimeZone utc{"UTC"};
};

const char* const kDesc12 = "Quarnex Server ID: 0001A2B3    Mon Nov 24, 04:00:00 PM 2025";

} // namespace

TEST_F(TMainFormBackupMenuTest, DeletingTheManualRestoreSelectionSwitchesRestoresToAutomatic)
{
    Repository()->SetRestoreBackup("0001A2B3", "12");
    ASSERT_FALSE(Repository()->IsAutoSelect());

    const QStringList listed = DeleteThrough(kDesc12);
    // Sorted by server, then date.
    ASSERT_EQ(listed.size(), 3);
    EXPECT_EQ(listed[0], kDesc12);
    EXPECT_TRUE(listed[1].startsWith("Quarnex Server ID: 0001A2B3    Sun Dec 07"));
    EXPECT_TRUE(listed[2].startsWith("Main office    Server ID: 00C0FFEE"));

    EXPECT_FALSE(fs::exists(BackupFolder() + "/0001A2B3/12"));
    EXPECT_TRUE(fs::exists(BackupFolder() + "/0001A2B3/417/backup.cfg"));
    EXPECT_TRUE(Repository()->IsAutoSelect());
    const std::string cfg = ReadFile(BackupFolder() + "/repository.cfg");
    EXPECT_NE(cfg.find("RestoreBackupAuto: 1\r\n"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("RestoreBackupServerID: \r\n"), std::string::npos) << cfg;
    EXPECT_EQ(ActivityTexts().back(), QString("Delete of backup \"") + kDesc12 + "\" completed successfully");
    // Deleting is not a background activity: the status stays idle.
    EXPECT_EQ(Text("lbStatusStateVal"), "Idle");
}

TEST_F(TMainFormBackupMenuTest, DeletingEveryBackupLeavesTheItalicPlaceholder)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(DeleteThrough(nullptr).size(), 3 - i);
    const QStringList listed = DeleteThrough(nullptr, true);
    EXPECT_EQ(listed, QStringList{"There are no Harborlock backups"});
    const QStringList log = ActivityTexts();
    EXPECT_EQ(log.filter("Delete of backup").size(), 3);
}

TEST_F(TMainFormBackupMenuTest, DeleteConfirmedWhileABackupIsSavedIsRefused)
{
    GUIComm* comm = GUIComm::Instance();
    ASSERT_NE(comm, nullptr);
    // Opened while idle; the backup's merge starts before OK is pressed.
    ModalWatcher driver;
    QString caption, text;
    driver.Then([&](QWidget* w) {
        auto* form = qobject_cast<TDeleteBackupForm*>(w);
        ASSERT_NE(form, nullptr);
        comm->NotifyBackupStarted("0001A2B3", 12);
        comm->NotifyBackupTransferDone(true);
        comm->NotifySaveBackupStarted();
        ASSERT_TRUE(
            WaitFor([&] { return Text("lbStatusStateVal") == "Saving Backup"; }, "the merge to start"));
        auto* cbox = form->findChild<QComboBox*>("cboxBackupSelection");
        cbox->setCurrentIndex(cbox->findText(kDesc12));
        driver.AcceptMessageBox(&caption, &text);
        form->findChild<QPushButton*>("btnOK")->click();
    });
    Trigger("menuitemDeleteBackup");
    EXPECT_TRUE(driver.AllHandled());
    EXPECT_EQ(caption, "Error");
    EXPECT_EQ(text,
              "Deleting a backup is not possible while a backup, restore, export or import is running.  "
              "Try again when the state is Idle.");
    EXPECT_TRUE(fs::exists(BackupFolder() + "/0001A2B3/12/backup.cfg"));
    EXPECT_TRUE(ActivityTexts().filter("Delete of backup").isEmpty());
    EXPECT_EQ(Text("lbStatusStateVal"), "Saving Backup");

    // Once the backup is saved the same delete goes through.
    comm->NotifySaveBackupDone(true);
    Pump();
    DeleteThrough(kDesc12);
    EXPECT_FALSE(fs::exists(BackupFolder() + "/0001A2B3/12"));
}

TEST_F(TMainFormBackupMenuTest, FailedDeleteShowsTheBoxAndLogsTheFailure)
{
    hl::FaultPlatform fault;
    fault.FailAll(hl::kErrAccessDenied, hl::kOpUnlink | hl::kOpRmdir);
    ModalWatcher driver;
    driver.Then([](QWidget* w) {
        auto* form = qobject_cast<TDeleteBackupForm*>(w);
        ASSERT_NE(form, nullptr);
        ClickLater(form->findChild<QPushButton*>("btnOK"));
    });
    driver.ExpectBox();
    {
        hl::ScopedPlatform use(fault);
        Trigger("menuitemDeleteBackup");
    }
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].title, "Error");
    EXPECT_EQ(driver.boxes[0].text, "Unable to delete the backup");
    EXPECT_EQ(driver.boxes[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(ActivityTexts().back(), QString("Delete of backup \"") + kDesc12 + "\" failed");
    EXPECT_NE(DebugLog().find("TMainForm::menuitemDeleteBackupClick(): DeleteBackup() failed"),
              std::string::npos);
    // The window's threads may have entered the wrapper while it was installed: they end
    // before it goes.
    CloseMainForm();
}

TEST_F(TMainFormBackupMenuTest, BackupOptionsOkStoresOnlyTheChosenServersPolicy)
{
    const std::string before = ServerConfig("0001A2B3");
    auto choose = [](TBackupOptionsForm* form) {
        auto* cbox = form->findChild<QComboBox*>("cboxServerSelection");
        cbox->setCurrentIndex(cbox->findText("Main office    Server ID: 00C0FFEE"));
        form->findChild<QRadioButton*>("rbForceFullDay")->click();
        form->findChild<QSpinBox*>("udNumDays")->setValue(14);
        form->findChild<QSpinBox*>("udKeepNum")->setValue(5);
    };

    // Cancel changes nothing.
    ModalWatcher driver;
    driver.Then([&](QWidget* w) {
        auto* form = qobject_cast<TBackupOptionsForm*>(w);
        ASSERT_NE(form, nullptr);
        choose(form);
        ClickLater(form->findChild<QPushButton*>("btnCancel"));
    });
    const std::string other = ServerConfig("00C0FFEE");
    Trigger("menuitemBackupOptions");
    EXPECT_EQ(ServerConfig("00C0FFEE"), other);

    driver.Then([&](QWidget* w) {
        auto* form = qobject_cast<TBackupOptionsForm*>(w);
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->windowTitle(), "Set Backup Options");
        choose(form);
        ClickLater(form->findChild<QPushButton*>("btnOK"));
    });
    Trigger("menuitemBackupOptions");
    EXPECT_TRUE(driver.unexpected.empty());
    const std::string cfg = ServerConfig("00C0FFEE");
    EXPECT_NE(cfg.find("ForceFullType: 0\r\n"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("ForceFullNumber: 14\r\n"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("NumOldBackupsToKeep: 5\r\n"), std::string::npos) << cfg;
    EXPECT_EQ(ServerConfig("0001A2B3"), before);

    // With several servers, OK on the prompt changes nothing.
    driver.Then([&](QWidget* w) { ClickLater(w->findChild<QPushButton*>("btnOK")); });
    Trigger("menuitemBackupOptions");
    EXPECT_EQ(ServerConfig("00C0FFEE"), cfg);
    EXPECT_EQ(ServerConfig("0001A2B3"), before);
}

TEST_F(TMainFormBackupMenuTest, ExportAndImportRunOnTheWorkerAndReportInTheWindow)
{
    const std::string exportPath = SandboxPath("exports") + "/dvd";
    ModalWatcher driver;
    driver.Then([&](QWidget* w) {
        auto* form = qobject_cast<TExportBackupForm*>(w);
        ASSERT_NE(form, nullptr);
        auto* cbox = form->findChild<QComboBox*>("cboxBackupSelection");
        cbox->setCurrentIndex(cbox->findText(kDesc12));
        form->findChild<QLineEdit*>("editExportDir")->setText(QString::fromStdString(SandboxPath("exports")));
        form->findChild<QLineEdit*>("editExportName")->setText("dvd");
        ClickLater(form->findChild<QPushButton*>("btnOK"));
    });
    Trigger("menuitemExportBackup");
    ASSERT_TRUE(WaitFor([&] { return ActivityTexts().filter("Export of backup completed").size() == 1; },
                        "the export to complete"));
    QStringList log = ActivityTexts();
    EXPECT_EQ(
        log.filter("Export of backup \"" + QString(kDesc12) + "\" to " + QString::fromStdString(exportPath))
            .size(),
        1);
    EXPECT_EQ(ReadFile(exportPath + "/0001A2B3/12/backup_000.dat"),
              ReadFile(BackupFolder() + "/0001A2B3/12/backup_000.dat"));
    EXPECT_EQ(Text("lbStatusStateVal"), "Idle");

    // Importing it back into the same folder: the worker finds it already there.
    driver.Then([&](QWidget* w) {
        auto* form = qobject_cast<TImportBackupForm*>(w);
        ASSERT_NE(form, nullptr);
        form->findChild<QLineEdit*>("editImportDir")->setText(QString::fromStdString(exportPath));
        ClickLater(form->findChild<QPushButton*>("btnOK"));
    });
    driver.ExpectBox();
    Trigger("menuitemImportBackup");
    ASSERT_TRUE(WaitFor([&] { return driver.boxes.size() == 1; }, "the import failure box"));
    EXPECT_EQ(driver.boxes[0].title, "Error");
    EXPECT_EQ(driver.boxes[0].text, "Import of backup failed.\nSee Activity Log for reason.");
    log = ActivityTexts();
    EXPECT_EQ(log.filter("Backup selected for import already exists in Harborlock.").size(), 1);
    EXPECT_TRUE(driver.unexpected.empty());
}

TEST_F(TMainFormBackupMenuTest, QueueWorkWithoutAWorkerDropsTheItem)
{
    TMainForm unshown; // no show handler ran, so there is no worker
    unshown.QueueWork(new CWork(CWork::TypeExport, SandboxPath("exports/never"),
                                TBackupInfo{"0001A2B3", "12", "", 1764000000u}));
    unshown.QueueWork(nullptr);
    EXPECT_NE(DebugLog().find("TMainForm::QueueWork() did NOT queue -- no worker"), std::string::npos);
    EXPECT_FALSE(fs::exists(SandboxPath("exports/never")));
}

TEST_F(TMainFormBackupMenuTest, ClosingDuringAnExportCancelsItAndLeavesNoHalfMadeExport)
{
    testsupport::StalledCopyPlatform stalled;
    hl::ScopedPlatform use(stalled);
    Form().QueueWork(new CWork(CWork::TypeExport, SandboxPath("exports/long"),
                               TBackupInfo{"0001A2B3", "417", "", 1765100000u}));
    Form().QueueWork(new CWork(CWork::TypeExport, SandboxPath("exports/queued"),
                               TBackupInfo{"0001A2B3", "12", "", 1764000000u}));
    stalled.started.acquire();
    // The window is gone when the failure arrives; a box still pumped here is dismissed.
    ModalWatcher driver;
    driver.TolerateUnexpected();
    // Waits the designed stop time-out, then cancels the copy that would never end.
    CloseMainForm();
    EXPECT_EQ(stalled.stalls.load(), 1); // the queued export never started
    EXPECT_FALSE(fs::exists(SandboxPath("exports/long")));
    EXPECT_FALSE(fs::exists(SandboxPath("exports/queued")));
    EXPECT_NE(DebugLog().find("CWork::Execute(): ExportBackup() failed"), std::string::npos);
}

TEST_F(TMainFormBackupMenuTest, DebugLogViewerAndAboutBoxOpenFromTheirMenus)
{
    CLog::Error(31, "marker line for the viewer %d\n", 4711);
    ModalWatcher driver;
    QString last;
    driver.Then([&](QWidget* w) {
        auto* form = qobject_cast<TViewDebugLogForm*>(w);
        ASSERT_NE(form, nullptr);
        last = form->findChild<QPlainTextEdit*>("memoDebugLog")->document()->lastBlock().text();
        QMetaObject::invokeMethod(form, "reject", Qt::QueuedConnection);
    });
    Trigger("menuitemViewDebugLog");
    EXPECT_TRUE(last.endsWith("marker line for the viewer 4711")) << last.toStdString();

    std::vector<QWidget*> shown;
    for (int i = 0; i < 2; ++i)
        driver.Then([&](QWidget* w) {
            shown.push_back(w);
            QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
        });
    Trigger("menuitemAboutHarborlock");
    Trigger("menuitemAboutHarborlock");
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_NE(qobject_cast<TAboutBox*>(shown[0]), nullptr);
    EXPECT_EQ(shown[0], shown[1]); // made once, never recreated
    EXPECT_TRUE(driver.unexpected.empty());
}
