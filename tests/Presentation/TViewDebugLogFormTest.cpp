#include "TViewDebugLogForm.h"

#include "DialogTestSupport.h"
#include "TestSandbox.h"

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class TViewDebugLogFormTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        dialogtest::App();
    }

    static QPlainTextEdit* Memo(const TViewDebugLogForm& form)
    {
        return form.findChild<QPlainTextEdit*>("memoDebugLog");
    }

    static QAction* Action(const TViewDebugLogForm& form, const char* name)
    {
        return form.findChild<QAction*>(name);
    }
};

} // namespace

TEST_F(TViewDebugLogFormTest, MissingAndEmptyLogsLeaveTheViewerEmptyWithoutComplaint)
{
    ModalWatcher driver;
    TViewDebugLogForm missing;
    missing.InitGUIWithData(SandboxPath("no-such.log"));
    EXPECT_TRUE(Memo(missing)->toPlainText().isEmpty());

    WriteFile(SandboxPath("empty.log"), "");
    TViewDebugLogForm empty;
    empty.InitGUIWithData(SandboxPath("empty.log"));
    EXPECT_TRUE(Memo(empty)->toPlainText().isEmpty());
    QCoreApplication::processEvents();
    EXPECT_TRUE(driver.unexpected.empty());

    EXPECT_EQ(empty.windowTitle(), "View debug log");
    EXPECT_EQ(empty.findChild<QLabel*>("memoWarning")->text(),
              "Note: This is information is not required for normal use of Harborlock.  You may only "
              "want to look at this when instructed by Customer Support.");
    EXPECT_TRUE(Memo(empty)->isReadOnly());
    EXPECT_EQ(Action(empty, "menuitemSaveAs")->text(), "Save As");
    EXPECT_EQ(Action(empty, "menuitemSelectAll")->text(), "Select All");
    ASSERT_NE(empty.PopupMenu(), nullptr);
    EXPECT_EQ(empty.PopupMenu()->actions().size(), 2);
}

TEST_F(TViewDebugLogFormTest, LargeLogIsShownWholeAndScrolledToTheEnd)
{
    std::string log;
    const int lines = 60000;
    for (int i = 1; i <= lines; ++i)
        log += "12/08/2026 13:00:00.000 [0x1a2b] DEBUG cat 31: line " + std::to_string(i) + "\n";
    WriteFile(SandboxPath("big.log"), log);

    TViewDebugLogForm form;
    form.InitGUIWithData(SandboxPath("big.log"));
    form.resize(700, 400);
    form.show();
    QCoreApplication::processEvents();
    QPlainTextEdit* memo = Memo(form);
    EXPECT_EQ(memo->document()->blockCount(), lines);
    EXPECT_EQ(memo->document()->firstBlock().text().toStdString(),
              "12/08/2026 13:00:00.000 [0x1a2b] DEBUG cat 31: line 1");
    EXPECT_EQ(memo->document()->lastBlock().text().toStdString(),
              "12/08/2026 13:00:00.000 [0x1a2b] DEBUG cat 31: line 60000");
    QScrollBar* bar = memo->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    // Select All selects every line.
    Action(form, "menuitemSelectAll")->trigger();
    EXPECT_EQ(memo->textCursor().selectionStart(), 0);
    EXPECT_EQ(memo->textCursor().selectionEnd(), memo->document()->characterCount() - 1);
}

TEST_F(TViewDebugLogFormTest, SaveAsWritesTheLinesShown)
{
    const std::string log = "first line\nsecond line\n";
    WriteFile(SandboxPath("debug.log"), log);
    TViewDebugLogForm form;
    form.InitGUIWithData(SandboxPath("debug.log"));
    form.show();

    ModalWatcher driver;
    QString filter, suffix;
    driver.Then([&](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->objectName(), "savedlgDebugLog");
        filter = dialog->nameFilters().join(";");
        suffix = dialog->defaultSuffix();
        dialog->selectFile(QString::fromStdString(SandboxPath("copy")));
        QMetaObject::invokeMethod(dialog, &QDialog::accept, Qt::QueuedConnection);
    });
    Action(form, "menuitemSaveAs")->trigger();
    EXPECT_TRUE(driver.unexpected.empty());
    EXPECT_EQ(filter, "Text File (*.txt)");
    EXPECT_EQ(suffix, "txt");
    // The default extension is added to a name typed without one.
    EXPECT_EQ(ReadFile(SandboxPath("copy.txt")), log);
}

TEST_F(TViewDebugLogFormTest, UnreadableLogIsReportedInTheExceptionDialogAndLeavesTheViewerEmpty)
{
    // A directory exists but cannot be read as a file.
    std::filesystem::create_directories(SandboxPath("log-is-a-directory"));
    ModalWatcher driver;
    QString shown;
    driver.Then([&](QWidget* w) {
        shown = w->metaObject()->className();
        QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
    });
    TViewDebugLogForm form;
    form.InitGUIWithData(SandboxPath("log-is-a-directory"));
    EXPECT_EQ(shown, "TExceptionDlg");
    EXPECT_TRUE(Memo(form)->toPlainText().isEmpty());
}
