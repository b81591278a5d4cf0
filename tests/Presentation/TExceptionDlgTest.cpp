// The exception dialog and the way window handlers report what they catch.

#include "PresentationFixture.h"

#include "CClientExc.h"
#include "CLog.h"
#include "ModalWatcher.h"
#include "TExceptionDlg.h"

#include <QPlainTextEdit>
#include <QPushButton>

#include <stdexcept>

namespace {

class TExceptionDlgTest : public PresentationTest {
protected:
    // Dismisses the next exception dialog and keeps what it showed.
    void ExpectDialog()
    {
        watcher.Then([this](QWidget* dlg) {
            headings << dlg->findChild<QLabel*>("lbExc")->text();
            causes << dlg->findChild<QPlainTextEdit*>("memoExcDesc")->toPlainText();
            dlg->findChild<QPushButton*>("btnDismiss")->click();
        });
    }
    static int Count(const std::string& text, const std::string& what)
    {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    ModalWatcher watcher;
    QStringList headings, causes;
};

TEST_F(TExceptionDlgTest, ShowsAndLogsTwoErrorLinesEvenWithItsCategoryOff)
{
    TExceptionDlg dlg;
    ExpectDialog();
    CClientExc exc("RepositoryDir is not valid.", 1234, "x", 1);
    dlg.ShowExceptionDlg(nullptr, &exc);
    EXPECT_EQ(dlg.windowTitle(), "Exception");
    EXPECT_EQ(headings, QStringList({"Caught Exception in client:"}));
    EXPECT_EQ(causes, QStringList({"[ID: 1234] RepositoryDir is not valid."}));
    const std::string log = DebugLog();
    EXPECT_EQ(Count(log, "TExceptionDlg::ShowExceptionDlg: CONTEXT: Caught Exception in client:\n"), 1)
        << log;
    EXPECT_EQ(Count(log, "TExceptionDlg::ShowExceptionDlg: CAUSE: [ID: 1234] RepositoryDir is not valid.\n"),
              1);
    EXPECT_EQ(Count(log, "ERROR"), 2);

    // A later call without an exception shows the last one again.
    ExpectDialog();
    dlg.ShowExceptionDlg("TMainForm::Somewhere", nullptr);
    EXPECT_EQ(headings.last(), "TMainForm::Somewhere");
    EXPECT_EQ(causes.last(), "[ID: 1234] RepositoryDir is not valid.");
}

TEST_F(TExceptionDlgTest, WithNoExceptionEverGivenItSaysSo)
{
    TExceptionDlg dlg;
    ExpectDialog();
    dlg.ShowExceptionDlg("ctx", nullptr);
    EXPECT_EQ(causes, QStringList({"Unknown exception type!"}));
}

TEST_F(TExceptionDlgTest, HandlersReportOwnLibraryAndUnknownExceptionsAndCarryOn)
{
    for (int i = 0; i < 3; ++i)
        ExpectDialog();
    int ran = 0;
    TExceptionDlg::Guard("TMainForm::A", "Presentation/TMainForm", 10, [&] {
        ++ran;
        throw CClientExc("own", 1234, "f", 2);
    });
    TExceptionDlg::Guard("TMainForm::B", "Presentation/TMainForm", 11, [&] {
        ++ran;
        throw std::runtime_error("bad thing");
    });
    TExceptionDlg::Guard("TMainForm::C", "Presentation/TMainForm", 12, [&] {
        ++ran;
        throw 42;
    });
    TExceptionDlg::Guard("TMainForm::D", "Presentation/TMainForm", 13, [&] { ++ran; });
    EXPECT_EQ(ran, 4);
    EXPECT_EQ(headings, QStringList({"TMainForm::A", "TMainForm::B", "TMainForm::C"}));
    EXPECT_EQ(causes, QStringList({"[ID: 1234] own", "[ID: 1234] Internal Error: bad thing",
                                   "[ID: 1234] Unknown Internal Error: "}));
}

} // namespace
