// The restore prompt round trip through GUIComm, and the restore options
// dialog on a real repository.

#include "PresentationFixture.h"

#include "CBFMRepository.h"
#include "GUIComm.h"
#include "ModalWatcher.h"
#include "Platform.h"
#include "QuarnexSim.h"
#include "SampleBackupFolder.h"
#include "ScopedEnvironment.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QShowEvent>
#include <QSystemTrayIcon>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

namespace {

class RestorePromptTest : public PresentationTest {
protected:
    void SetUp() override
    {
        PresentationTest::SetUp();
        WriteSettings("0", BackupFolder());
        ShowMainForm();
    }
    void TearDown() override
    {
        if (worker.joinable())
            worker.join();
        PresentationTest::TearDown();
    }

    // The service side: a worker thread blocked in the prompt.
    void AskFromWorker()
    {
        worker = std::thread([this] {
            bool answer = false;
            result = GUIComm::Instance()->PromptForRestore(0x0001A2B3, 0x00C0FFEE, 1765100000, answer);
            accepted = answer;
            done = true;
        });
    }
    void WaitAnswered()
    {
        ASSERT_TRUE(WaitFor([this] { return done.load(); }, "the worker's answer to the restore prompt"));
        worker.join();
        Pump();
    }
    static void Key(QWidget* w, int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(w, &press);
    }

    const QString requestLine =
        "Request to restore Quarnex Server ID:0001A2B3 using backup from Quarnex Server "
        "ID:00C0FFEE dated Sun Dec 07, 09:33 AM 2025 ";
    std::thread worker;
    std::atomic<bool> done{false}, result{false}, accepted{false};
    testsupport::ScopedTimeZone utc{"UTC"};
};

TEST_F(RestorePromptTest, AcceptShowsTheRequestAndAnswersTheWaitingWorker)
{
    ModalWatcher watcher;
    QString requesting, backup, date, title;
    watcher.Then([&](QWidget* dlg) {
        title = dlg->windowTitle();
        requesting = dlg->findChild<QLabel*>("lbRequestingQuarnex")->text();
        backup = dlg->findChild<QLabel*>("lbBackupQuarnex")->text();
        date = dlg->findChild<QLabel*>("lbBackupDate")->text();
        dlg->findChild<QPushButton*>("btnAccept")->click();
    });
    AskFromWorker();
    WaitAnswered();
    EXPECT_EQ(title, "Confirm Restore Request");
    EXPECT_EQ(requesting, "0001A2B3");
    EXPECT_EQ(backup, "00C0FFEE");
    EXPECT_EQ(date, "Sun Dec 07, 09:33 AM 2025");
    EXPECT_TRUE(result);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(ActivityTexts(), QStringList({requestLine + "accepted"}));
    EXPECT_EQ(Text("lbStatusStateVal"), "Idle") << "the prompt leaves the status alone";
}

TEST_F(RestorePromptTest, EnterAcceptsAndEscapeRejects)
{
    ModalWatcher watcher;
    watcher.Then([](QWidget* dlg) { Key(dlg, Qt::Key_Return); });
    AskFromWorker();
    WaitAnswered();
    EXPECT_TRUE(accepted);

    done = false;
    watcher.Then([](QWidget* dlg) { Key(dlg, Qt::Key_Escape); });
    AskFromWorker();
    WaitAnswered();
    EXPECT_TRUE(result);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(ActivityTexts(), QStringList({requestLine + "accepted", requestLine + "rejected"}));
}

TEST_F(RestorePromptTest, RejectsItselfWhenTheTimeRunsOut)
{
    std::atomic<time_t> now{1000000};
    Form().SetRestorePromptTiming(
        90, [&now] { return now.load(); }, 5);
    ModalWatcher watcher;
    QString first, last;
    watcher.Then([&](QWidget* dlg) {
        auto* msg = dlg->findChild<QLabel*>("lbResponseTimeoutMsg");
        WaitFor([&] { return !msg->text().isEmpty(); }, "the first count-down text");
        first = msg->text();
        now += 89;
        WaitFor([&] { return msg->text().contains(" 1 "); }, "the count-down at 1 second");
        last = msg->text();
        now += 1; // 90 seconds: the next tick rejects
    });
    AskFromWorker();
    WaitAnswered();
    EXPECT_EQ(first,
              "If no response in 90 seconds, then this restore request will automatically be rejected.");
    EXPECT_EQ(last, "If no response in 1 seconds, then this restore request will automatically be rejected.");
    EXPECT_TRUE(result);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(ActivityTexts(), QStringList({requestLine + "rejected"}));
}

TEST_F(RestorePromptTest, AnAnswerNobodyWaitsForIsLoggedAndRestartsTheService)
{
    ModalWatcher watcher;
    watcher.Then([](QWidget* dlg) { dlg->findChild<QPushButton*>("btnAccept")->click(); });
    // A prompt whose worker is gone: the block arrives, no one waits.
    Form().Post(CM_HLKPromptForRestore,
                reinterpret_cast<intptr_t>(new HLKPromptForRestoreMsg{0x0001A2B3, 0x00C0FFEE, 1765100000}));
    ASSERT_TRUE(WaitFor([&] { return ActivityTexts().size() == 1; }, "the restore request line"));
    EXPECT_EQ(ActivityTexts(), QStringList({requestLine + "accepted"}));
    EXPECT_NE(DebugLog().find("TMainForm::CM_HLKPromptForRestore(): RespondToRestorePrompt() failed\n"),
              std::string::npos);
}

TEST_F(RestorePromptTest, TheCountDownIsShownFromTheStart)
{
    std::atomic<time_t> now{1000000};
    // No tick comes while the prompt is looked at.
    Form().SetRestorePromptTiming(
        90, [&now] { return now.load(); }, 3600000);
    ModalWatcher watcher;
    QString shown;
    watcher.Then([&](QWidget* dlg) {
        shown = dlg->findChild<QLabel*>("lbResponseTimeoutMsg")->text();
        dlg->findChild<QPushButton*>("btnReject")->click();
    });
    AskFromWorker();
    WaitAnswered();
    EXPECT_EQ(shown,
              "If no response in 90 seconds, then this restore request will automatically be rejected.");
}

TEST_F(RestorePromptTest, ShowingThePromptAgainDoesNotRestartItsCountDown)
{
    std::atomic<time_t> now{1000000};
    Form().SetRestorePromptTiming(
        90, [&now] { return now.load(); }, 5);
    ModalWatcher watcher;
    QString before, after;
    watcher.Then([&](QWidget* dlg) {
        auto* msg = dlg->findChild<QLabel*>("lbResponseTimeoutMsg");
        now += 50;
        WaitFor([&] { return msg->text().contains(" 40 "); }, "the count-down at 40 seconds");
        before = msg->text();
        // Brought back after it was minimised: the window is shown again.
        QShowEvent show;
        QCoreApplication::sendEvent(dlg, &show);
        now += 1;
        WaitFor([&] { return !msg->text().contains(" 40 "); }, "the next tick of the count-down");
        after = msg->text();
        dlg->findChild<QPushButton*>("btnReject")->click();
    });
    AskFromWorker();
    WaitAnswered();
    EXPECT_EQ(before,
              "If no response in 40 seconds, then this restore request will automatically be rejected.");
    EXPECT_EQ(after,
              "If no response in 39 seconds, then this restore request will automatically be rejected.");
    EXPECT_FALSE(accepted);
}

TEST_F(RestorePromptTest, APromptBringsBackTheWindowMinimisedWithoutATray)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the offscreen platform has no tray";
    Form().showMinimized();
    Pump();
    ASSERT_TRUE(Form().isMinimized());
    ModalWatcher watcher;
    bool minimised = true, visible = false;
    watcher.Then([&](QWidget* dlg) {
        minimised = Form().isMinimized();
        visible = Form().isVisible() && dlg->isVisible();
        dlg->findChild<QPushButton*>("btnAccept")->click();
    });
    AskFromWorker();
    WaitAnswered();
    EXPECT_FALSE(minimised) << "the window is shown normally while the prompt is open";
    EXPECT_TRUE(visible);
    EXPECT_TRUE(accepted);
}

// Exit from the tray menu while a Quarnex server waits for the answer to its restore request.
class RestorePromptExitTest : public PresentationTest {
protected:
    void SetUp() override
    {
        PresentationTest::SetUp();
        testsupport::CopySampleBackupFolder(BackupFolder() + "/");
        port = ShowMainFormOnServedPort();
        ASSERT_GT(port, 0);
    }
    void TearDown() override
    {
        if (inquiry.valid())
            inquiry.wait();
        PresentationTest::TearDown();
    }

    bool Accepts() const
    {
        const int fd = hl::Os().Connect("127.0.0.1", static_cast<uint16_t>(port));
        if (fd < 0)
            return false;
        hl::Os().Close(fd);
        return true;
    }
    int Count(const std::string& what) const
    {
        const std::string log = DebugLog();
        int n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            ++n;
        return n;
    }

    testsupport::ScopedTimeZone utc{"UTC"};
    int port = 0;
    std::future<quarnexsim::InquiryResult> inquiry;
};

TEST_F(RestorePromptExitTest, ExitRejectsThePromptFirstStopsOnceAndStartsNothing)
{
    ASSERT_TRUE(Accepts());
    ASSERT_EQ(Count("Accepting connections on port"), 1);
    const uint16_t served = static_cast<uint16_t>(port);
    inquiry = std::async(std::launch::async, [served] {
        quarnexsim::QuarnexSim sim("127.0.0.1", served);
        sim.SetTimeoutMs(60000);
        return sim.Inquire(0x0001A2B3);
    });
    ModalWatcher watcher;
    QString prompt;
    watcher.Then([&](QWidget* dlg) {
        prompt = dlg->metaObject()->className();
        Child<QAction>("menuitemExitApp")->trigger();
    });
    ASSERT_TRUE(WaitFor([&] { return watcher.Pending() == 0; }, "the restore prompt"));
    ASSERT_TRUE(WaitFor([&] { return GUIComm::Instance() == nullptr; }, "the window's close handler"));
    EXPECT_EQ(prompt, "TRestorePromptForm");
    EXPECT_FALSE(Form().isVisible());

    // The Quarnex server got its answer: the request was rejected, not cut off.
    ASSERT_EQ(inquiry.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const quarnexsim::InquiryResult r = inquiry.get();
    EXPECT_TRUE(r.answered);
    EXPECT_FALSE(r.gotHeader);
    QStringList requests = ActivityTexts().filter("Request to restore");
    ASSERT_EQ(requests.size(), 1);
    EXPECT_TRUE(requests[0].endsWith(" rejected")) << requests[0].toStdString();

    // Stopped once, with nobody left waiting, and not started again.
    Pump();
    EXPECT_EQ(Count("Accepting connections on port"), 1);
    EXPECT_EQ(Count("waiting for the backup services thread to STOP"), 0);
    EXPECT_EQ(Count("RespondToRestorePrompt() failed"), 0);
    EXPECT_FALSE(Accepts());
    EXPECT_TRUE(ActivityTexts().filter("Error st").isEmpty()) << ActivityTexts().join("\n").toStdString();
}

class RestoreOptionsTest : public PresentationTest {
protected:
    void UseFixtureFolder() { testsupport::CopySampleBackupFolder(BackupFolder()); }

    struct Seen {
        bool autoChecked = false, autoEnabled = false, comboEnabled = false, noteVisible = false;
        int index = -2;
        QStringList items;
    };

    // Opens Restore Options, records what it shows, then lets act change it.
    Seen Open(std::function<void(QWidget*)> act)
    {
        Seen seen;
        ModalWatcher watcher;
        watcher.Then([&seen, act](QWidget* dlg) {
            auto* check = dlg->findChild<QCheckBox*>("chkboxAutoSelect");
            auto* combo = dlg->findChild<QComboBox*>("cboxBackupSelection");
            seen.autoChecked = check->isChecked();
            seen.autoEnabled = check->isEnabled();
            seen.comboEnabled = combo->isEnabled();
            seen.noteVisible = dlg->findChild<QLabel*>("lbOnlyAutoSelect")->isVisible();
            seen.index = combo->currentIndex();
            for (int i = 0; i < combo->count(); ++i)
                seen.items << combo->itemText(i);
            act(dlg);
        });
        Child<QAction>("menuitemRestoreOptions")->trigger();
        EXPECT_EQ(watcher.Pending(), 0u);
        return seen;
    }

    static void Choose(QWidget* dlg, bool autoSelect, int index)
    {
        auto* check = dlg->findChild<QCheckBox*>("chkboxAutoSelect");
        if (check->isChecked() != autoSelect)
            check->click();
        dlg->findChild<QComboBox*>("cboxBackupSelection")->setCurrentIndex(index);
        dlg->findChild<QPushButton*>("btnOK")->click();
    }

    CBFMRepository* Repository() { return CBFMRepository::GetInstance(BackupFolder().c_str()); }
};

TEST_F(RestoreOptionsTest, PreselectsAndSavesOnlyWhatChanged)
{
    UseFixtureFolder();
    WriteSettings("0", BackupFolder());
    ShowMainForm();

    Seen seen = Open([](QWidget* dlg) { Choose(dlg, false, 1); });
    EXPECT_TRUE(seen.autoChecked);
    EXPECT_TRUE(seen.autoEnabled);
    EXPECT_FALSE(seen.comboEnabled);
    EXPECT_FALSE(seen.noteVisible);
    EXPECT_EQ(seen.index, -1);
    ASSERT_EQ(seen.items.size(), 3);
    EXPECT_TRUE(seen.items[0].startsWith("Quarnex Server ID: 0001A2B3    ")) << seen.items[0].toStdString();
    EXPECT_TRUE(seen.items[1].startsWith("Quarnex Server ID: 0001A2B3    "));
    EXPECT_TRUE(seen.items[2].startsWith("Main office    Server ID: 00C0FFEE    "));
    std::string server, backup;
    EXPECT_FALSE(Repository()->IsAutoSelect());
    ASSERT_TRUE(Repository()->GetRestoreBackup("", server, backup));
    EXPECT_EQ(server, "0001A2B3");
    EXPECT_EQ(backup, "417");

    // The stored choice is preselected; turning auto back on saves auto.
    seen = Open([](QWidget* dlg) { Choose(dlg, true, 1); });
    EXPECT_FALSE(seen.autoChecked);
    EXPECT_TRUE(seen.comboEnabled);
    EXPECT_EQ(seen.index, 1);
    EXPECT_TRUE(Repository()->IsAutoSelect());

    // With auto on nothing is preselected, so choosing the same backup again
    // is a change and is saved.
    seen = Open([](QWidget* dlg) { Choose(dlg, false, 1); });
    EXPECT_EQ(seen.index, -1);
    EXPECT_FALSE(Repository()->IsAutoSelect());

    // OK with another backup stores it.
    Open([](QWidget* dlg) { Choose(dlg, false, 2); });
    ASSERT_TRUE(Repository()->GetRestoreBackup("", server, backup));
    EXPECT_EQ(server, "00C0FFEE");
    EXPECT_EQ(backup, "9999");

    // Cancel saves nothing.
    Open([](QWidget* dlg) {
        dlg->findChild<QCheckBox*>("chkboxAutoSelect")->click();
        dlg->findChild<QPushButton*>("btnCancel")->click();
    });
    EXPECT_FALSE(Repository()->IsAutoSelect());
}

TEST_F(RestoreOptionsTest, SpecificWithoutASelectionIsRefused)
{
    UseFixtureFolder();
    WriteSettings("0", BackupFolder());
    ShowMainForm();
    QString message;
    QString focus;
    Open([&](QWidget* dlg) {
        auto* box = new ModalWatcher;
        box->AcceptMessageBox(nullptr, &message);
        Choose(dlg, false, -1);
        focus = dlg->focusWidget() ? dlg->focusWidget()->objectName() : QString();
        delete box;
        dlg->findChild<QPushButton*>("btnCancel")->click();
    });
    EXPECT_EQ(message, "Must have a backup selected if Auto Select is not checked.");
    EXPECT_EQ(focus, "cboxBackupSelection");
    EXPECT_TRUE(Repository()->IsAutoSelect());
}

TEST_F(RestoreOptionsTest, WithNoBackupsAutoIsTheOnlyChoice)
{
    WriteSettings("0", BackupFolder());
    ShowMainForm();
    const std::string before = ReadFile(BackupFolder() + "/repository.cfg");
    Seen seen = Open([](QWidget* dlg) {
        dlg->findChild<QCheckBox*>("chkboxAutoSelect")->click(); // disabled: no effect
        dlg->findChild<QPushButton*>("btnOK")->click();
    });
    EXPECT_TRUE(seen.autoChecked);
    EXPECT_FALSE(seen.autoEnabled);
    EXPECT_TRUE(seen.noteVisible);
    EXPECT_TRUE(seen.items.isEmpty());
    EXPECT_TRUE(Repository()->IsAutoSelect());
    EXPECT_EQ(ReadFile(BackupFolder() + "/repository.cfg"), before);
}

} // namespace
