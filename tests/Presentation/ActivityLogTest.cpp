// The activity log: line format, the file beside the memo, its reload at
// start-up, the 10000-line cap of the memo and memo-only logging.

#include "PresentationFixture.h"

#include "GUIComm.h"
#include "MakeDirPath.h"
#include "ModalWatcher.h"

#include <QDateTime>
#include <QPlainTextEdit>
#include <QPushButton>

#include <string>

namespace {

class ActivityLogTest : public PresentationTest {
protected:
    void SetUp() override
    {
        PresentationTest::SetUp();
        WriteSettings("0", BackupFolder());
    }
};

TEST(ActivityLogStampTest, TwelveHourClockWithTwoDigitFieldsAndLowerCaseSuffix)
{
    const QDate date(2005, 2, 1);
    EXPECT_EQ(TMainForm::FormatActivityTimeStamp(QDateTime(date, QTime(12, 30, 5))), "02/01/05 12:30:05pm");
    EXPECT_EQ(TMainForm::FormatActivityTimeStamp(QDateTime(QDate(2004, 9, 13), QTime(9, 42, 51))),
              "09/13/04 09:42:51am");
    EXPECT_EQ(TMainForm::FormatActivityTimeStamp(QDateTime(QDate(2026, 12, 31), QTime(0, 0, 0))),
              "12/31/26 12:00:00am");
    EXPECT_EQ(TMainForm::FormatActivityTimeStamp(QDateTime(QDate(2026, 7, 4), QTime(23, 59, 59))),
              "07/04/26 11:59:59pm");
}

TEST_F(ActivityLogTest, FirstLineCreatesTheFileAndEveryLineIsFlushedAtOnce)
{
    ShowMainForm();
    EXPECT_TRUE(Form().ActivityLogLines().join("").isEmpty());
    EXPECT_EQ(ReadFile(ActivityLogPath()), "");

    Form().LogActivity("first");
    // Read while the window still holds the file open: nothing waits in a buffer.
    std::string file = ReadFile(ActivityLogPath());
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.back(), '\n');
    EXPECT_EQ(file.find('\r'), std::string::npos);
    EXPECT_EQ(ActivityFileTexts(), QStringList({"first"}));
    // The same line, stamp included, in the memo and in the file.
    EXPECT_EQ(Form().ActivityLogLines().last().toStdString() + "\n", file);
}

TEST_F(ActivityLogTest, ReloadsTheWholeFileAndCapsTheMemoOnlyAfterTheNextLine)
{
    std::string text;
    for (int i = 1; i <= 12000; ++i)
        text += "01/02/05 10:00:00am  line " + std::to_string(i) + "\n";
    MakeDirPath(DataRoot() + "/log");
    WriteFile(ActivityLogPath(), text);

    ShowMainForm();
    QStringList lines = Form().ActivityLogLines();
    ASSERT_EQ(lines.size(), 12000);
    EXPECT_EQ(lines.first(), "01/02/05 10:00:00am  line 1");
    EXPECT_EQ(lines.last(), "01/02/05 10:00:00am  line 12000");

    Form().LogActivity("line 12001");
    lines = Form().ActivityLogLines();
    ASSERT_EQ(lines.size(), 10000);
    EXPECT_EQ(lines.first(), "01/02/05 10:00:00am  line 2002");
    EXPECT_EQ(WithoutStamp(lines.last()), "line 12001");
    EXPECT_EQ(ActivityFileTexts().size(), 12001) << "the file is never trimmed";
}

TEST_F(ActivityLogTest, ClearEmptiesOnlyTheMemoAndARestartShowsEverythingAgain)
{
    ShowMainForm();
    Form().LogActivity("one");
    Form().LogActivity("two");
    Child<QAction>("menuitemClear")->trigger();
    EXPECT_TRUE(Form().ActivityLogLines().join("").isEmpty());
    Form().LogActivity("three");
    EXPECT_EQ(ActivityTexts(), QStringList({"three"}));
    CloseMainForm();

    ShowMainForm();
    EXPECT_EQ(ActivityTexts(), QStringList({"one", "two", "three"}));
}

TEST_F(ActivityLogTest, SaveAsWritesTheMemoNotTheFile)
{
    ShowMainForm();
    Form().LogActivity("kept");
    Child<QAction>("menuitemClear")->trigger();
    Form().LogActivity("shown");
    const std::string out = SandboxPath("saved.txt");
    WriteFile(out, "old contents that must go\n");
    ASSERT_TRUE(Form().SaveActivityLogTo(out));
    const std::string saved = ReadFile(out);
    EXPECT_EQ(saved, Form().ActivityLogLines().join("\n").toStdString() + "\n");
    EXPECT_EQ(saved.find("kept"), std::string::npos);
}

TEST_F(ActivityLogTest, UnopenableFileLeavesLoggingToTheMemoOnly)
{
    // A directory where the file should be: it can be neither read nor opened
    // for appending.
    MakeDirPath(ActivityLogPath());
    ModalWatcher watcher;
    QString heading, cause;
    watcher.Then([&](QWidget* dlg) {
        heading = dlg->findChild<QLabel*>("lbExc")->text();
        cause = dlg->findChild<QPlainTextEdit*>("memoExcDesc")->toPlainText();
        dlg->findChild<QPushButton*>("btnDismiss")->click();
    });
    ShowMainForm();
    ASSERT_TRUE(WaitFor([&] { return !heading.isEmpty(); }, "the exception dialog"));
    EXPECT_EQ(heading, "TMainForm::LoadActivityLog");
    EXPECT_EQ(cause, "[ID: 1234] Activity log file is not read/write and unable to change it.");
    Form().LogActivity("memo only");
    EXPECT_EQ(ActivityTexts().last(), "memo only");
    EXPECT_NE(DebugLog().find("TMainForm::OpenActivityLogFile(): fopen() failed\n"), std::string::npos);
}

TEST_F(ActivityLogTest, SelectAllSelectsTheWholeMemo)
{
    ShowMainForm();
    Form().LogActivity("a");
    Form().LogActivity("b");
    Child<QAction>("menuitemSelectAll")->trigger();
    auto* memo = Child<QPlainTextEdit>("memoActivityLog");
    EXPECT_EQ(memo->textCursor().selectedText().replace(QChar::ParagraphSeparator, '\n'),
              memo->toPlainText());
}

} // namespace
