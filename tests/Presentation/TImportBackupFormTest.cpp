#include "TImportBackupForm.h"

#include "DialogTestSupport.h"
#include "TestSandbox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using dialogtest::Get;
using dialogtest::PressOK;

class TImportBackupFormTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        dialogtest::App();
    }
};

} // namespace

TEST_F(TImportBackupFormTest, RefusesAnEmptyOrMissingFolderAndAcceptsAnExistingOne)
{
    TImportBackupForm form;
    form.show();
    EXPECT_EQ(form.windowTitle(), "Import a backup");
    EXPECT_EQ(Get<QLabel>(form, "lbImportDir")->text(), "Select the folder to import the backup from:");
    EXPECT_TRUE(Get<QLabel>(form, "memoInstructions")
                    ->text()
                    .endsWith("\r\n\r\nImport transfers a previously exported backup into this Harborlock "
                              "installation so that "
                              "it can be used to restore a local Quarnex server."));
    auto* folder = Get<QLineEdit>(form, "editImportDir");
    Get<QPushButton>(form, "btnOK")->setFocus();

    auto box = PressOK(form);
    EXPECT_EQ(box.title, "Error");
    EXPECT_EQ(box.text, "No import folder is specified");
    EXPECT_EQ(box.icon, QMessageBox::NoIcon);
    EXPECT_EQ(form.focusWidget(), folder);
    EXPECT_TRUE(form.isVisible());

    folder->setText(QString::fromStdString(SandboxPath("nowhere")));
    Get<QPushButton>(form, "btnOK")->setFocus();
    box = PressOK(form);
    EXPECT_EQ(box.text, "The import folder doesn't exist");
    EXPECT_EQ(form.focusWidget(), folder);
    EXPECT_NE(form.result(), QDialog::Accepted);

    // Whether it holds an export is for the worker to find out: an empty folder passes here.
    std::filesystem::create_directories(SandboxPath("empty"));
    folder->setText(QString::fromStdString(SandboxPath("empty")));
    box = PressOK(form);
    EXPECT_TRUE(box.title.isEmpty()) << box.text.toStdString();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    std::string chosen;
    form.GetData(chosen);
    EXPECT_EQ(chosen, SandboxPath("empty"));
}
