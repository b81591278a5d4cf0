// Settings: the file and its defaults, the settings dialog's validation, and
// what a changed port or folder does to the service and the repository.

#include "PresentationFixture.h"

#include "CLog.h"
#include "FaultPlatform.h"
#include "GUIComm.h"
#include "MakeDirPath.h"
#include "ModalWatcher.h"
#include "OS_CFolderLock.h"
#include "Platform.h"
#include "ScopedEnvironment.h"
#include "ServedPort.h"
#include "TSettingsModForm.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

class SettingsTest : public PresentationTest {
protected:
    // One step of a dialog session: what to type before OK is pressed.
    struct Entry {
        std::string port;
        std::string folder;
        bool cancel = false; // press Cancel instead
    };

    // Opens the dialog from "Modify", types each entry and presses OK; every
    // entry but the last must be refused with a message box, whose text and
    // the edit that got the focus are kept.
    void RunDialog(const std::vector<Entry>& entries)
    {
        ModalWatcher watcher;
        watcher.Then([&](QWidget* dlg) {
            for (size_t i = 0; i < entries.size(); ++i) {
                const Entry& entry = entries[i];
                if (entry.cancel) {
                    dlg->findChild<QPushButton*>("btnCancel")->click();
                    return;
                }
                dlg->findChild<QLineEdit*>("editIPPort")->setText(QString::fromStdString(entry.port));
                dlg->findChild<QLineEdit*>("editFolder")->setText(QString::fromStdString(entry.folder));
                const bool last = i + 1 == entries.size();
                if (!last) {
                    watcher.Then([this](QWidget* box) {
                        captions << box->windowTitle();
                        messages << box->findChild<QLabel*>("qt_msgbox_label")->text();
                        qobject_cast<QDialog*>(box)->accept();
                    });
                }
                // A refused entry shows its box from inside the click.
                dlg->findChild<QPushButton*>("btnOK")->click();
                if (!last) {
                    ASSERT_TRUE(dlg->isVisible()) << "entry " << i << " was accepted";
                    focused << QString(dlg->focusWidget() ? dlg->focusWidget()->objectName() : "");
                }
            }
        });
        Child<QPushButton>("btnSettingsModify")->click();
        EXPECT_EQ(watcher.Pending(), 0u);
    }

    int ListenerStarts() const
    {
        const std::string log = DebugLog();
        int count = 0;
        for (size_t at = log.find("Accepting connections on port"); at != std::string::npos;
             at = log.find("Accepting connections on port", at + 1))
            ++count;
        return count;
    }

    // Types a served port (after `prefix`) and `folder` in the dialog and presses OK, until the
    // service starts on the port; a port another process holds is retried on another. The
    // port, or -1. Never `avoid`, the port the service is on now.
    int RunDialogOnServedPort(const std::string& folder, const std::string& prefix = "", int avoid = -1)
    {
        return testsupport::StartOnServedPort([&](int port) {
            if (port == avoid)
                return false;
            const int starts = ListenerStarts();
            RunDialog({{prefix + std::to_string(port), folder}});
            return ListenerStarts() == starts + 1;
        });
    }

    static bool Accepts(int port)
    {
        const int fd = hl::Os().Connect("127.0.0.1", static_cast<uint16_t>(port));
        if (fd < 0)
            return false;
        hl::Os().Close(fd);
        return true;
    }

    QStringList captions, messages, focused;
};

TEST_F(SettingsTest, MissingFileGivesTheDefaultsAndWritesThemAtOnce)
{
    const testsupport::ScopedEnvironment home("HOME", Sandbox());
    CreateMainForm();
    std::string port, folder;
    Form().LoadSettings(port, folder);
    EXPECT_EQ(port, "5001");
    EXPECT_EQ(folder, Sandbox() + "/HarborlockBackups");
    EXPECT_EQ(ReadFile(SettingsPath()),
              "BackupDataBasePath: " + Sandbox() + "/HarborlockBackups\r\nIPPort: 5001\r\n");
}

TEST_F(SettingsTest, AMissingHeaderLoadsEmptyAndRewritesNothing)
{
    MakeDirPath(DataRoot() + "/Config");
    WriteFile(SettingsPath(), "IPPort: 6000\r\n");
    CreateMainForm();
    std::string port = "x", folder = "x";
    Form().LoadSettings(port, folder);
    EXPECT_EQ(port, "6000");
    EXPECT_EQ(folder, "");
    EXPECT_EQ(ReadFile(SettingsPath()), "IPPort: 6000\r\n");
}

TEST_F(SettingsTest, ValidationStopsAtTheFirstFailingInputInOrder)
{
    const std::string missing = SandboxPath("does-not-exist");
    // The last entry is accepted and starts the service on its port.
    const int port = ShowOnServedPort([&](int candidate) {
        captions.clear();
        messages.clear();
        focused.clear();
        WriteSettings("0", BackupFolder());
        ShowMainForm();
        RunDialog({{"12a", missing},
                   {"", missing},
                   {"0", BackupFolder()},
                   {"1024", BackupFolder()},
                   {"8192", BackupFolder()},
                   {"65535", BackupFolder()},
                   {"99999999999999999999", BackupFolder()},
                   {"08080", "relative/path"},
                   {"08080", missing},
                   {std::to_string(candidate), BackupFolder()}});
    });
    ASSERT_GT(port, 0);
    const QString range = "IP Port must be between 1025 and 8191";
    EXPECT_EQ(messages, QStringList({"IP Port must be a number", range, range, range, range, range, range,
                                     "The backup folder must be a full path, starting with /",
                                     "The backup folder must exist"}));
    EXPECT_EQ(captions, QStringList(9, "Error"));
    EXPECT_EQ(focused, QStringList({"editIPPort", "editIPPort", "editIPPort", "editIPPort", "editIPPort",
                                    "editIPPort", "editIPPort", "editFolder", "editFolder"}));
    EXPECT_EQ(Text("lbSettingsIPPortVal").toStdString(), std::to_string(port));
    EXPECT_EQ(ReadFile(SettingsPath()),
              "BackupDataBasePath: " + BackupFolder() + "\r\nIPPort: " + std::to_string(port) + "\r\n");
}

TEST_F(SettingsTest, APortTheServiceDoesNotServeIsRefusedBeforeAnythingIsSaved)
{
    const int port = ShowMainFormOnServedPort();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Accepts(port));
    const std::string saved = ReadFile(SettingsPath());
    const int starts = ListenerStarts();
    RunDialog({{"8192", BackupFolder()}, {"", "", true}});
    EXPECT_EQ(messages, QStringList({"IP Port must be between 1025 and 8191"}));
    EXPECT_EQ(focused, QStringList({"editIPPort"}));
    EXPECT_EQ(Text("lbSettingsIPPortVal").toStdString(), std::to_string(port));
    EXPECT_EQ(ReadFile(SettingsPath()), saved);
    EXPECT_EQ(ListenerStarts(), starts);
    EXPECT_TRUE(Accepts(port)) << "the service keeps its port";
}

TEST_F(SettingsTest, ARelativeBackupFolderIsRefused)
{
    WriteSettings("0", BackupFolder());
    ShowMainForm();
    // A folder that exists relative to where the program runs now.
    const std::filesystem::path cwd = std::filesystem::current_path();
    MakeDirPath(SandboxPath("here"));
    std::filesystem::current_path(Sandbox());
    RunDialog({{"7001", "here"}, {"", "", true}});
    std::filesystem::current_path(cwd);
    EXPECT_EQ(messages, QStringList({"The backup folder must be a full path, starting with /"}));
    EXPECT_EQ(focused, QStringList({"editFolder"}));
    EXPECT_EQ(Text("lbSettingsFolderVal").toStdString(), BackupFolder());
    EXPECT_EQ(Text("lbSettingsIPPortVal"), "0");
}

TEST_F(SettingsTest, OkWhileABackupRunsIsRefusedAndTheServiceKeepsRunning)
{
    const int port = ShowMainFormOnServedPort();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Accepts(port));
    const std::string saved = ReadFile(SettingsPath());
    const int starts = ListenerStarts();
    const std::string other = SandboxPath("other");
    MakeDirPath(other);

    // Opened while idle; a backup starts before OK is pressed.
    ModalWatcher watcher;
    QString caption, text;
    watcher.Then([&](QWidget* dlg) {
        GUIComm::Instance()->NotifyBackupStarted("0001A2B3", 12);
        ASSERT_TRUE(WaitFor([&] { return !Child<QPushButton>("btnSettingsModify")->isEnabled(); },
                            "the window to show the backup"));
        dlg->findChild<QLineEdit*>("editFolder")->setText(QString::fromStdString(other));
        watcher.AcceptMessageBox(&caption, &text);
        dlg->findChild<QPushButton*>("btnOK")->click();
    });
    Child<QPushButton>("btnSettingsModify")->click();
    EXPECT_EQ(watcher.Pending(), 0u);
    EXPECT_EQ(caption, "Error");
    EXPECT_EQ(text,
              "Changing the settings is not possible while a backup, restore, export or import is running.  "
              "Try again when the state is Idle.");
    EXPECT_EQ(Text("lbSettingsFolderVal").toStdString(), BackupFolder());
    EXPECT_EQ(ReadFile(SettingsPath()), saved);
    EXPECT_EQ(ListenerStarts(), starts) << "the service was not restarted";
    EXPECT_TRUE(Accepts(port));
    EXPECT_EQ(Text("lbStatusStateVal"), "Backup File Transfer");
}

TEST_F(SettingsTest, AFolderWhereNoFileCanBeCreatedIsRefused)
{
    WriteSettings("0", BackupFolder());
    ShowMainForm();
    const std::string other = SandboxPath("other");
    MakeDirPath(other);
    hl::FaultPlatform fault;
    {
        hl::ScopedPlatform use(fault);
        fault.FailAll(hl::kErrAccessDenied, hl::kOpTempName);
        RunDialog({{"1234", other}, {"", "", true}});
    }
    EXPECT_EQ(messages, QStringList({"The backup folder must be writeable"}));
    EXPECT_EQ(focused, QStringList({"editFolder"}));
    EXPECT_EQ(Text("lbSettingsFolderVal").toStdString(), BackupFolder());
    // The window's threads may have entered the wrapper while it was installed: they end
    // before it goes.
    CloseMainForm();
}

TEST_F(SettingsTest, OkWithoutChangesNeitherSavesNorRestarts)
{
    // Written by hand with a layout the program would not write itself.
    MakeDirPath(DataRoot() + "/Config");
    std::string hand;
    const int port = ShowOnServedPort([&](int candidate) {
        hand = "IPPort: " + std::to_string(candidate) + "\r\nBackupDataBasePath: " + BackupFolder() + "\r\n";
        WriteFile(SettingsPath(), hand);
        ShowMainForm();
    });
    ASSERT_GT(port, 0);
    ASSERT_TRUE(Accepts(port));
    const int starts = ListenerStarts();
    RunDialog({{std::to_string(port), BackupFolder()}});
    EXPECT_EQ(ReadFile(SettingsPath()), hand);
    EXPECT_EQ(ListenerStarts(), starts);
}

TEST_F(SettingsTest, ChangedPortRestartsTheServiceOnIt)
{
    const int first = ShowMainFormOnServedPort();
    ASSERT_GT(first, 0);
    ASSERT_TRUE(Accepts(first));

    // Typed with a leading zero: kept as typed, served as the number.
    const int second = RunDialogOnServedPort(BackupFolder(), "0", first);
    ASSERT_GT(second, 0);
    const std::string typed = "0" + std::to_string(second);
    EXPECT_EQ(Text("lbSettingsIPPortVal").toStdString(), typed);
    EXPECT_TRUE(Accepts(second));
    EXPECT_FALSE(Accepts(first));
    EXPECT_NE(ReadFile(SettingsPath()).find("IPPort: " + typed + "\r\n"), std::string::npos);
}

TEST_F(SettingsTest, ChangedFolderReplacesTheRepositoryAndRestartsTheService)
{
    const int port = ShowMainFormOnServedPort();
    ASSERT_GT(port, 0);
    const std::string other = SandboxPath("other");
    MakeDirPath(other);
    const int starts = ListenerStarts();
    RunDialog({{std::to_string(port), other}});
    EXPECT_EQ(Text("lbSettingsFolderVal").toStdString(), other);
    EXPECT_TRUE(hl::Os().FileExists(other + "/repository.cfg")) << "the repository moved to the new folder";
    EXPECT_EQ(ListenerStarts(), starts + 1);
    EXPECT_TRUE(Accepts(port));
}

TEST_F(SettingsTest, UnusableBackupFolderKeepsTheWindowUsableUntilAnotherIsChosen)
{
    WriteFile(SandboxPath("plainfile"), "x");
    const std::string unusable = SandboxPath("plainfile/backups");
    WriteSettings("0", unusable);
    ShowMainForm();
    ASSERT_FALSE(ActivityTexts().isEmpty());
    EXPECT_TRUE(
        ActivityTexts().last().startsWith(QString::fromStdString("Unable to use backup folder " + unusable)))
        << ActivityTexts().last().toStdString();
    EXPECT_TRUE(Child<QPushButton>("btnSettingsModify")->isEnabled());

    ASSERT_GT(RunDialogOnServedPort(BackupFolder()), 0);
    EXPECT_EQ(Text("lbSettingsFolderVal").toStdString(), BackupFolder());
    EXPECT_TRUE(hl::Os().FileExists(BackupFolder() + "/repository.cfg"));
}

TEST_F(SettingsTest, AFolderServedByAnotherProgramIsNotOpened)
{
    // Another program (harborlockd, say) serves the folder: the window neither opens the
    // repository nor listens, and says who holds the folder.
    MakeDirPath(BackupFolder());
    OS_CFolderLock other;
    ASSERT_EQ(other.Acquire(BackupFolder(), SandboxPath("lockfallback"), "harborlockd"),
              OS_CFolderLock::Result::Locked);
    // The default port: whether another process holds it does not matter, the window must
    // not even try to listen.
    WriteSettings("5001", BackupFolder());
    ShowMainForm();
    ASSERT_FALSE(ActivityTexts().isEmpty());
    const std::string line = ActivityTexts().last().toStdString();
    EXPECT_EQ(
        line.rfind("Unable to use backup folder " + BackupFolder() + ": it is served by harborlockd", 0), 0u)
        << line;
    EXPECT_FALSE(hl::Os().FileExists(BackupFolder() + "/repository.cfg"));
    EXPECT_EQ(ListenerStarts(), 0) << "the service was started";
    EXPECT_FALSE(ServiceStartFailed()) << "the service was started";

    // Another folder is free: choosing it opens it and starts the service.
    const std::string free = SandboxPath("free");
    MakeDirPath(free);
    const int port = RunDialogOnServedPort(free);
    ASSERT_GT(port, 0);
    EXPECT_TRUE(hl::Os().FileExists(free + "/repository.cfg"));
    EXPECT_TRUE(Accepts(port));
}

TEST(IPAddressMemoTest, ShowsAtMostTwoLinesInTheWindowAndAllInTheDialog)
{
    QPlainTextEdit window, dialog;
    TSettingsModForm::SetOneLineHeight(&window);
    TSettingsModForm::SetOneLineHeight(&dialog);
    const int oneLine = window.maximumHeight();
    const int h = window.fontMetrics().height();
    const int m = (oneLine - h) / 2;
    const std::vector<std::string> three = {"10.0.0.5", "192.168.1.20", "172.16.0.9"};

    const int d = TSettingsModForm::FillIPAddrMemo(&window, three, 2);
    EXPECT_EQ(window.maximumHeight(), (m + h) * 2 + m);
    EXPECT_EQ(d, window.maximumHeight() - oneLine);
    EXPECT_EQ(window.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(window.frameShape(), QFrame::NoFrame);
    EXPECT_EQ(window.toPlainText(), "10.0.0.5\n192.168.1.20\n172.16.0.9");

    // A later refresh with the same addresses keeps the height.
    EXPECT_EQ(TSettingsModForm::FillIPAddrMemo(&window, three, 2), 0);
    EXPECT_EQ(window.maximumHeight(), (m + h) * 2 + m);

    TSettingsModForm::FillIPAddrMemo(&dialog, three, 0);
    EXPECT_EQ(dialog.maximumHeight(), (m + h) * 3 + m);
    EXPECT_NE(dialog.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    QPlainTextEdit none;
    TSettingsModForm::SetOneLineHeight(&none);
    const int before = none.maximumHeight();
    EXPECT_EQ(TSettingsModForm::FillIPAddrMemo(&none, {}, 2), 0);
    EXPECT_EQ(none.toPlainText(), "Unknown");
    EXPECT_EQ(none.maximumHeight(), before);
}

} // namespace
