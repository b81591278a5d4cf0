// What the main window shows and logs for each notification of the service
// and the work queue, posted through GUIComm into the real window.

#include "PresentationFixture.h"

#include "GUIComm.h"
#include "ModalWatcher.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace {

class MainWindowNotificationsTest : public PresentationTest {
protected:
    void SetUp() override
    {
        PresentationTest::SetUp();
        // Port 0 is outside the served range: the service starts nothing.
        WriteSettings("0", BackupFolder());
        ShowMainForm();
        comm = GUIComm::Instance();
        ASSERT_NE(comm, nullptr);
    }

    bool SizeShown()
    {
        return Child<QLabel>("lbStatusSizeDesc")->isVisibleTo(&Form()) &&
               Child<QLabel>("lbStatusSizeVal")->isVisibleTo(&Form());
    }
    bool ProgressShown()
    {
        return Child<QLabel>("lbStatusProgress")->isVisibleTo(&Form()) &&
               Child<QProgressBar>("progbarStatus")->isVisibleTo(&Form());
    }
    int Progress() { return Child<QProgressBar>("progbarStatus")->value(); }
    bool Busy()
    {
        const bool button = !Child<QPushButton>("btnSettingsModify")->isEnabled();
        for (const char* name : {"menuitemBackupOptions", "menuitemRestoreOptions", "menuitemDeleteBackup",
                                 "menuitemImportBackup", "menuitemExportBackup"})
            EXPECT_EQ(!Child<QAction>(name)->isEnabled(), button) << name;
        return button;
    }
    void ExpectIdle()
    {
        EXPECT_EQ(Text("lbStatusStateVal"), "Idle");
        EXPECT_EQ(Text("lbStatusSizeVal"), "");
        EXPECT_EQ(Progress(), 0);
        EXPECT_FALSE(SizeShown());
        EXPECT_FALSE(ProgressShown());
    }

    GUIComm* comm = nullptr;
};

TEST_F(MainWindowNotificationsTest, BackupRunsThroughTransferAndSaveBackToIdle)
{
    ExpectIdle();
    EXPECT_FALSE(Busy());

    comm->NotifyBackupInitiated("0001A2B3");
    comm->NotifyBackupStarted("0001A2B3", 12);
    Pump();
    EXPECT_EQ(Text("lbStatusStateVal"), "Backup File Transfer");
    EXPECT_EQ(Text("lbStatusSizeVal"), "12 MBytes");
    EXPECT_TRUE(SizeShown());
    EXPECT_TRUE(ProgressShown());
    EXPECT_EQ(Progress(), 0);
    EXPECT_TRUE(Busy());

    comm->NotifyProgress(150);
    Pump();
    EXPECT_EQ(Progress(), 100);
    comm->NotifyProgress(40);
    Pump();
    EXPECT_EQ(Progress(), 40);

    comm->NotifyBackupTransferDone(true);
    Pump();
    EXPECT_EQ(Text("lbStatusStateVal"), "Idle");
    EXPECT_EQ(Progress(), 100);
    EXPECT_EQ(Text("lbStatusSizeVal"), "12 MBytes");
    EXPECT_TRUE(Busy()) << "the menus stay locked until the backup is saved";

    comm->NotifySaveBackupStarted();
    Pump();
    EXPECT_EQ(Text("lbStatusStateVal"), "Saving Backup");
    EXPECT_FALSE(SizeShown());
    EXPECT_TRUE(ProgressShown());
    EXPECT_EQ(Progress(), 0);

    comm->NotifySaveBackupDone(true);
    Pump();
    ExpectIdle();
    EXPECT_FALSE(Busy());

    const QStringList expected = {
        "Backup initated from Quarnex Server ID: 0001A2B3",
        "Started backup transfer from Quarnex Server ID: 0001A2B3 of estimated size 12 MBytes",
        QString::fromStdString("Backup folder is " + BackupFolder()),
        "Backup transfer completed successfully",
        "Saving backup started",
        "Saving backup completed successfully",
    };
    EXPECT_EQ(ActivityTexts(), expected);
    EXPECT_EQ(ActivityFileTexts(), expected);
}

// A backup the Quarnex server was told is stored, saved at the next start (its merge resumed)
// or given up: the window says which, and that a full backup follows.
TEST_F(MainWindowNotificationsTest, ResumedAndGivenUpBackupsAreTold)
{
    comm->NotifySaveBackupStarted();
    comm->NotifySaveBackupDone(true);
    comm->NotifySaveBackupStarted();
    comm->NotifyError(HLK_ERR_FINALIZE);
    comm->NotifySaveBackupDone(false);
    comm->NotifyBackupNotSaved("0001A2B3");
    Pump();
    ExpectIdle();
    EXPECT_FALSE(Busy());
    const QStringList expected = {
        "Saving backup started",
        "Saving backup completed successfully",
        "Saving backup started",
        "Error finalizing backup.",
        "Saving backup failed",
        "Backup from Quarnex Server ID: 0001A2B3 could not be saved.  The next backup from this server will "
        "be a "
        "full backup.",
    };
    EXPECT_EQ(ActivityTexts(), expected);
    EXPECT_EQ(ActivityFileTexts(), expected);
}

TEST_F(MainWindowNotificationsTest, FailedTransferAndErrorsReturnToIdle)
{
    comm->NotifyBackupStarted("00C0FFEE", 2048);
    comm->NotifyBackupTransferDone(false);
    Pump();
    EXPECT_TRUE(Busy());
    comm->NotifyError(HLK_ERR_BACKUP_FAILED);
    Pump();
    ExpectIdle();
    EXPECT_FALSE(Busy());

    comm->NotifyError(16);
    comm->NotifyError(255);
    comm->NotifyError(11);
    comm->NotifyProgress(-5);
    Pump();
    EXPECT_EQ(Progress(), 0) << "a progress below the bar's range leaves it at its minimum";

    const QStringList texts = ActivityTexts();
    ASSERT_EQ(texts.size(), 7);
    EXPECT_EQ(texts[0],
              "Started backup transfer from Quarnex Server ID: 00C0FFEE of estimated size 2048 MBytes");
    EXPECT_EQ(texts[2], "Backup transfer failed");
    EXPECT_EQ(texts[3], "Backup failed.");
    EXPECT_EQ(texts[4], "Unknown error");
    EXPECT_EQ(texts[5], "Unknown error");
    EXPECT_EQ(texts[6], "Copying backup failed because disk is full.");
}

TEST_F(MainWindowNotificationsTest, ErrorCodeUsesOnlyTheLowByteAndEveryTextOfTheTable)
{
    comm->NotifyError(0x100 + 15);
    comm->NotifyError(1);
    comm->NotifyError(12);
    Pump();
    const QStringList texts = ActivityTexts();
    ASSERT_EQ(texts.size(), 3);
    EXPECT_EQ(texts[0], "Error communicating with Quarnex.");
    EXPECT_EQ(texts[1], "Error creating network connection on specified port.  Try another port number.");
    EXPECT_EQ(texts[2], "Backup selected for import already exists in Harborlock.");
}

TEST_F(MainWindowNotificationsTest, RestoreTransferShowsSizeAndProgressThenIdle)
{
    comm->NotifyRestoreStarted("0001A2B3", 7);
    Pump();
    EXPECT_EQ(Text("lbStatusStateVal"), "Restore File Transfer");
    EXPECT_EQ(Text("lbStatusSizeVal"), "7 MBytes");
    EXPECT_TRUE(SizeShown());
    EXPECT_TRUE(ProgressShown());
    EXPECT_TRUE(Busy());
    comm->NotifyProgress(55);
    Pump();
    EXPECT_EQ(Progress(), 55);
    comm->NotifyRestoreDone(false);
    Pump();
    ExpectIdle();
    EXPECT_FALSE(Busy());
    EXPECT_EQ(ActivityTexts(), QStringList({"Started restore transfer to 0001A2B3 of estimated size 7 MBytes",
                                            "Restore transfer failed"}));
}

TEST_F(MainWindowNotificationsTest, ServiceFailureLogsItsTextAndGoesIdle)
{
    comm->NotifyBackupStarted("0001A2B3", 1);
    comm->NotifyServiceFailed(HLK_ERR_SERVICE_FAILED);
    Pump();
    ExpectIdle();
    EXPECT_FALSE(Busy());
    EXPECT_EQ(ActivityTexts().last(), "Backup service failed.  Exit app and try again.");
}

TEST_F(MainWindowNotificationsTest, InsufficientDiskSpaceLineLeavesTheStatusAlone)
{
    comm->NotifyInsufficientDiskSpace("0001A2B3", 2048, -1);
    Pump();
    ExpectIdle();
    EXPECT_EQ(ActivityTexts(),
              QStringList({"Backup request from Quarnex Server ID: 0001A2B3 has insufficient disk space to "
                           "perform backup.  Needed: 2048MBytes.  Available: -1MBytes."}));
}

TEST_F(MainWindowNotificationsTest, ExportLinesAndFailureBox)
{
    comm->NotifyExportStarted("Main office    Server ID: 00C0FFEE    Fri Jan 01, 12:00:00 AM 2100",
                              "/tmp/out/x", 4);
    Pump();
    EXPECT_EQ(Text("lbStatusStateVal"), "Backup File Export");
    EXPECT_EQ(Text("lbStatusSizeVal"), "4 MBytes");
    EXPECT_TRUE(SizeShown());
    EXPECT_TRUE(Busy());

    ModalWatcher watcher;
    QString caption, text;
    watcher.AcceptMessageBox(&caption, &text);
    comm->NotifyError(HLK_ERR_EXPORT_DIR);
    comm->NotifyExportDone(false, "d", "/tmp/out/x");
    Pump();
    ASSERT_TRUE(WaitFor([&] { return watcher.Pending() == 0 && !text.isEmpty(); }, "the export failure box"));
    Pump();
    EXPECT_EQ(caption, "Error");
    EXPECT_EQ(text, "Export of backup failed.\nSee Activity Log for reason.");
    ExpectIdle();
    EXPECT_FALSE(Busy());
    EXPECT_EQ(ActivityTexts(),
              QStringList(
                  {"Export of backup \"Main office    Server ID: 00C0FFEE    Fri Jan 01, 12:00:00 AM 2100\" "
                   "to /tmp/out/x  of size 4 MBytes started",
                   "Creation of backup export directory failed.", "Export of backup failed"}));
}

TEST_F(MainWindowNotificationsTest, ImportSucceedsWithoutABoxAndFailsWithOne)
{
    comm->NotifyImportStarted("/media/usb/export");
    Pump();
    EXPECT_EQ(Text("lbStatusStateVal"), "Backup File Import");
    EXPECT_FALSE(SizeShown()) << "an import announces no size";
    EXPECT_TRUE(ProgressShown());
    EXPECT_TRUE(Busy());
    comm->NotifyImportDone(true, "/media/usb/export");
    Pump();
    ExpectIdle();

    ModalWatcher watcher;
    QString text;
    watcher.AcceptMessageBox(nullptr, &text);
    comm->NotifyImportStarted("/media/usb/other");
    comm->NotifyImportDone(false, "/media/usb/other");
    ASSERT_TRUE(WaitFor([&] { return !text.isEmpty(); }, "the import failure box"));
    EXPECT_EQ(text, "Import of backup failed.\nSee Activity Log for reason.");
    EXPECT_EQ(ActivityTexts(),
              QStringList({"Import of backup from /media/usb/export started",
                           "Import of backup completed successfully",
                           "Import of backup from /media/usb/other started", "Import of backup failed"}));
}

// The user reads the failure box while the next backup starts: the window shows the backup,
// not the idle state of the export or import that failed.
TEST_F(MainWindowNotificationsTest, ABackupThatStartsWhileAFailureBoxIsOpenKeepsItsState)
{
    for (bool exportFails : {true, false}) {
        SCOPED_TRACE(exportFails ? "export" : "import");
        if (exportFails)
            comm->NotifyExportStarted("d", "/tmp/out/x", 4);
        else
            comm->NotifyImportStarted("/media/usb/other");
        Pump();
        ModalWatcher watcher;
        QString text;
        watcher.Then([&](QWidget* box) {
            text = qobject_cast<QMessageBox*>(box)->text();
            comm->NotifyBackupStarted("0001A2B3", 12);
            EXPECT_TRUE(WaitFor([&] { return Text("lbStatusStateVal") == "Backup File Transfer"; },
                                "the backup's state"));
            qobject_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
        });
        if (exportFails)
            comm->NotifyExportDone(false, "d", "/tmp/out/x");
        else
            comm->NotifyImportDone(false, "/media/usb/other");
        ASSERT_TRUE(WaitFor([&] { return watcher.Pending() == 0 && !text.isEmpty(); }, "the failure box"));
        Pump();
        EXPECT_TRUE(text.endsWith("failed.\nSee Activity Log for reason.")) << text.toStdString();
        EXPECT_EQ(Text("lbStatusStateVal"), "Backup File Transfer");
        EXPECT_EQ(Text("lbStatusSizeVal"), "12 MBytes");
        EXPECT_TRUE(SizeShown());
        EXPECT_TRUE(ProgressShown());
        EXPECT_TRUE(Busy()) << "the menus stay locked during the transfer";

        comm->NotifyBackupTransferDone(true);
        comm->NotifySaveBackupDone(true);
        Pump();
        ExpectIdle();
    }
}

TEST_F(MainWindowNotificationsTest, MinimisingWithoutATrayKeepsTheWindow)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the offscreen platform has no tray";
    Form().showMinimized();
    Pump();
    EXPECT_TRUE(Form().isVisible());
    EXPECT_FALSE(Form().IsMinimizedToTray());
    Form().showNormal();
    Pump();
    EXPECT_TRUE(Form().isVisible());
}

} // namespace

namespace {

TEST_F(MainWindowNotificationsTest, TrayIconCarriesItsMenuAndAClickOpensTheWindow)
{
    auto* icon = Form().findChild<QSystemTrayIcon*>("trayIcon0");
    ASSERT_NE(icon, nullptr) << "the icon is made even before a tray runs";
    auto* menu = Child<QMenu>("popmenuTray");
    ASSERT_NE(menu, nullptr);
    // The tray shows the icon's own menu (StatusNotifierItem trays show no other).
    EXPECT_EQ(icon->contextMenu(), menu);
    EXPECT_EQ(menu->actions(),
              QList<QAction*>({Child<QAction>("menuitemRestoreApp"), Child<QAction>("menuitemExitApp")}));

    // A right click: the window pops up no menu of its own.
    emit icon->activated(QSystemTrayIcon::Context);
    Pump();
    EXPECT_FALSE(menu->isVisible());
    // While the window is shown the menu offers only Exit.
    emit menu->aboutToShow();
    EXPECT_FALSE(Child<QAction>("menuitemRestoreApp")->isVisible());
    EXPECT_TRUE(Child<QAction>("menuitemExitApp")->isVisible());
    EXPECT_EQ(Child<QAction>("menuitemExitApp")->text(), "Exit");
    EXPECT_EQ(Child<QAction>("menuitemRestoreApp")->text(), "Open");

    // A left click brings a minimised window back.
    Form().showMinimized();
    Pump();
    ASSERT_TRUE(Form().isMinimized());
    emit icon->activated(QSystemTrayIcon::Trigger);
    Pump();
    EXPECT_FALSE(Form().isMinimized());
    EXPECT_TRUE(Form().isVisible());

    Child<QAction>("menuitemExitApp")->trigger();
    Pump();
    EXPECT_FALSE(Form().isVisible());
    EXPECT_EQ(GUIComm::Instance(), nullptr) << "the close handler ran";
    Form().LogActivity("after close");
    EXPECT_FALSE(ActivityFileTexts().contains("after close")) << "the file was closed";
}

} // namespace
