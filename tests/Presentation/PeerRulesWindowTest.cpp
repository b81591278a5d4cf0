// The peer rules in the window: the settings dialog's controls, their validation and file,
// the service taking them up, refusals in the activity log, and forgetting a pin.

#include "PresentationFixture.h"

#include "CInetHeaderParser.h"
#include "CPeerRules.h"
#include "DialogTestSupport.h"
#include "MakeDirPath.h"
#include "ModalWatcher.h"
#include "Platform.h"
#include "QuarnexConnection.h"
#include "TSettingsModForm.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>

#include <string>

namespace {

class PeerRulesWindowTest : public PresentationTest {
protected:
    // A settings file with the port, the folder, other headers the window must keep, and
    // extra lines.
    void WriteSettingsWith(const std::string& extra)
    {
        MakeDirPath(DataRoot() + "/Config");
        WriteFile(SettingsPath(), "IPPort: " + std::to_string(port) +
                                      "\r\nBackupDataBasePath: " + BackupFolder() +
                                      "\r\nServerWarnDays-0001A2B3: 9\r\nSomethingNewer: kept\r\n" + extra);
    }
    // Opens the settings dialog, lets fill() set its controls and presses OK; every message
    // box it raises is answered and recorded (the dialog then stays open and is cancelled).
    void Modify(const std::function<void(QWidget*)>& fill)
    {
        ModalWatcher watcher;
        watcher.Then([&](QWidget* dlg) {
            fill(dlg);
            if (!dlg->isVisible())
                return;
            watcher.Then([this](QWidget* box) {
                messages << box->findChild<QLabel*>("qt_msgbox_label")->text();
                qobject_cast<QDialog*>(box)->accept();
            });
            dlg->findChild<QPushButton*>("btnOK")->click();
            if (dlg->isVisible()) {
                // An editable combo box hands its focus to its own line edit.
                QWidget* f = dlg->focusWidget();
                if (f && qobject_cast<QComboBox*>(f->parentWidget()))
                    f = f->parentWidget();
                focused << (f ? f->objectName() : QString());
                dlg->findChild<QPushButton*>("btnCancel")->click();
            } else {
                watcher.Then([](QWidget*) { ADD_FAILURE() << "unexpected message box"; });
            }
        });
        Child<QPushButton>("btnSettingsModify")->click();
    }

    int port = 0;
    QStringList messages, focused;
};

TEST_F(PeerRulesWindowTest, DialogShowsTheRulesAndGivesBackWhatWasChanged)
{
    TSettingsModForm dlg(nullptr);
    dlg.InitGUIWithData({"192.168.1.20", "10.0.0.7"}, "5001", BackupFolder());
    CPeerRules::Settings rules;
    rules.listenAddress = "10.0.0.7";
    rules.acceptFrom = "10.0.0.0/8, 192.168.1.5";
    rules.pinServers = true;
    dlg.SetPeerRules({"192.168.1.20", "10.0.0.7"}, rules);
    dlg.show();

    auto* listen = dlg.findChild<QComboBox*>("cboxListenOn");
    auto* accept = dlg.findChild<QLineEdit*>("editAcceptFrom");
    auto* pin = dlg.findChild<QCheckBox*>("chkboxPinServers");
    auto* prompt = dlg.findChild<QCheckBox*>("chkboxRestoreNeedsPrompt");
    ASSERT_TRUE(listen && accept && pin && prompt);
    ASSERT_EQ(listen->count(), 3);
    EXPECT_EQ(listen->itemText(0), "All addresses");
    EXPECT_EQ(listen->itemText(1), "192.168.1.20");
    EXPECT_EQ(listen->currentText(), "10.0.0.7");
    EXPECT_EQ(accept->text(), "10.0.0.0/8, 192.168.1.5");
    EXPECT_TRUE(pin->isChecked());
    EXPECT_FALSE(prompt->isChecked());
    EXPECT_EQ(pin->text(), "Pin each server to the address it first backed up from");
    EXPECT_EQ(prompt->text(), "A restore needs an accepted prompt");
    EXPECT_EQ(dlg.PeerRules(), rules);

    listen->setCurrentIndex(0);
    accept->setText("  ");
    pin->setChecked(false);
    prompt->setChecked(true);
    CPeerRules::Settings expected;
    expected.restoreNeedsPrompt = true;
    EXPECT_EQ(dlg.PeerRules(), expected); // "All addresses" and a blank list are the defaults

    // Off everywhere: the defaults, as an old settings file gives them.
    dlg.SetPeerRules({}, CPeerRules::Settings());
    EXPECT_EQ(listen->currentText(), "All addresses");
    EXPECT_EQ(dlg.PeerRules(), CPeerRules::Settings());
}

TEST_F(PeerRulesWindowTest, BadRulesAreRefusedAndGoodOnesSavedWithEveryOtherHeader)
{
    port = ShowOnServedPort([this](int candidate) {
        port = candidate;
        WriteSettingsWith("");
        ShowMainForm();
    });
    ASSERT_GT(port, 0);
    const std::string before = ReadFile(SettingsPath());

    Modify([](QWidget* dlg) {
        dlg->findChild<QLineEdit*>("editAcceptFrom")->setText("10.0.0.0/8 server.local");
    });
    Modify([](QWidget* dlg) { dlg->findChild<QComboBox*>("cboxListenOn")->setCurrentText("192.0.2.77"); });
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[0], "\"server.local\" is not an IPv4 address or network (such as 192.168.1.0/24)");
    EXPECT_EQ(messages[1], "Listen on must be All addresses or an IPv4 address of this PC");
    EXPECT_EQ(focused, QStringList({"editAcceptFrom", "cboxListenOn"}));
    EXPECT_EQ(ReadFile(SettingsPath()), before);

    messages.clear();
    Modify([](QWidget* dlg) {
        dlg->findChild<QLineEdit*>("editAcceptFrom")->setText("127.0.0.2, 10.0.0.0/8");
        dlg->findChild<QCheckBox*>("chkboxPinServers")->setChecked(true);
    });
    EXPECT_TRUE(messages.isEmpty());
    const std::string text = ReadFile(SettingsPath());
    EXPECT_NE(text.find("AcceptConnectionsFrom: 127.0.0.2, 10.0.0.0/8\r\n"), std::string::npos);
    EXPECT_NE(text.find("PinServersToAddress: 1\r\n"), std::string::npos);
    EXPECT_EQ(text.find("ListenAddress"), std::string::npos);
    EXPECT_EQ(text.find("RestoreNeedsAcceptedPrompt"), std::string::npos);
    EXPECT_NE(text.find("ServerWarnDays-0001A2B3: 9\r\n"), std::string::npos);
    EXPECT_NE(text.find("SomethingNewer: kept\r\n"), std::string::npos);
    EXPECT_NE(text.find("IPPort: " + std::to_string(port) + "\r\n"), std::string::npos);

    // The running service applies the list at once: 127.0.0.1 is now a stranger, closed
    // with one line in the activity log and nothing else shown.
    const QStringList linesBefore = ActivityTexts();
    quarnexsim::QuarnexConnection c;
    ASSERT_TRUE(c.Connect("127.0.0.1", static_cast<std::uint16_t>(port)));
    EXPECT_EQ(c.WaitClosed(10000), quarnexsim::QuarnexConnection::CloseState::Closed);
    const QString line = "Connection from 127.0.0.1 refused: the address is not among the accepted addresses";
    ASSERT_TRUE(WaitFor(
        [&] {
            Pump();
            return ActivityTexts().contains(line);
        },
        "the refusal line"));
    EXPECT_EQ(ActivityTexts().size(), linesBefore.size() + 1);
    EXPECT_EQ(Text("lbStatusStateVal"), "Idle");
    EXPECT_TRUE(ActivityFileTexts().contains(line));

    // Reopened, the dialog shows what was saved.
    CPeerRules::Settings shown;
    Modify([&](QWidget* dlg) {
        shown = static_cast<TSettingsModForm*>(dlg)->PeerRules();
        dlg->findChild<QPushButton*>("btnCancel")->click();
    });
    EXPECT_EQ(shown.acceptFrom, "127.0.0.2, 10.0.0.0/8");
    EXPECT_TRUE(shown.pinServers);
}

TEST_F(PeerRulesWindowTest, ForgetServerAddressRemovesTheChosenPin)
{
    const std::string pins = DataRoot() + "/Config/" + CPeerRules::kPinFileName;
    port = ShowOnServedPort([&](int candidate) {
        port = candidate;
        WriteSettingsWith("PinServersToAddress: 1\r\n");
        WriteFile(pins, "PeerPin-0001A2B3: 10.0.0.5\r\nPeerPin-00C0FFEE: 10.0.0.7\r\n");
        ShowMainForm();
    });
    ASSERT_GT(port, 0);

    QStringList items;
    ModalWatcher watcher;
    watcher.Then([&](QWidget* w) {
        auto* dlg = qobject_cast<QInputDialog*>(w);
        ASSERT_NE(dlg, nullptr);
        EXPECT_EQ(dlg->windowTitle(), "Forget Server Address");
        items = dlg->comboBoxItems();
        dlg->setTextValue(items.value(1));
        dlg->accept();
    });
    Child<QAction>("menuitemForgetServerAddress")->trigger();
    EXPECT_EQ(items, QStringList({"0001A2B3    pinned to 10.0.0.5", "00C0FFEE    pinned to 10.0.0.7"}));
    EXPECT_EQ(ReadFile(pins), "PeerPin-0001A2B3: 10.0.0.5\r\n");
    EXPECT_TRUE(ActivityTexts().contains("Address pin of Quarnex Server ID: 00C0FFEE forgotten"));

    // Cancel forgets nothing; with no pin left the entry says so.
    watcher.Then([](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
    Child<QAction>("menuitemForgetServerAddress")->trigger();
    EXPECT_EQ(ReadFile(pins), "PeerPin-0001A2B3: 10.0.0.5\r\n");
    watcher.Then([](QWidget* w) { qobject_cast<QDialog*>(w)->accept(); });
    Child<QAction>("menuitemForgetServerAddress")->trigger();
    EXPECT_EQ(ReadFile(pins), "");
    QString caption, text;
    watcher.AcceptMessageBox(&caption, &text);
    Child<QAction>("menuitemForgetServerAddress")->trigger();
    EXPECT_EQ(text, "No Quarnex server is pinned to an address.");
    EXPECT_EQ(watcher.Pending(), 0u);
}

} // namespace
