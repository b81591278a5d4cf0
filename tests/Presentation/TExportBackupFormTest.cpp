#include "TExportBackupForm.h"

#include "CBFMRepository.h"
#include "DialogTestSupport.h"
#include "FaultPlatform.h"
#include "TestSandbox.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using dialogtest::Get;
using dialogtest::PressOK;

class TExportBackupFormTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        dialogtest::App();
        std::filesystem::create_directories(SandboxPath("exports"));
    }

    static std::vector<TBackupInfo> TwoBackups()
    {
        return {{"0001A2B3", "12", "", 1764000000u}, {"00C0FFEE", "9999", "Main office", 4102444800u}};
    }
};

} // namespace

TEST_F(TExportBackupFormTest, CaptionsAndList)
{
    TExportBackupForm form;
    form.InitGUIWithData(TwoBackups());
    EXPECT_EQ(form.windowTitle(), "Export a backup");
    EXPECT_EQ(Get<QLabel>(form, "lbSelectSpecific")->text(), "Select a Backup to Export:");
    EXPECT_EQ(Get<QLabel>(form, "lbExportDir")->text(), "Select the folder to export the backup to:");
    EXPECT_EQ(Get<QLabel>(form, "lbExportName")->text(), "Enter a name for this exported backup:");
    EXPECT_EQ(Get<QPushButton>(form, "btnBrowse")->text(), "Browse");
    const QString memo = Get<QLabel>(form, "memoInstructions")->text();
    EXPECT_TRUE(memo.startsWith("Harborlock manages all server backup data for you.  When you need"));
    EXPECT_TRUE(
        memo.endsWith("\r\n\r\nExport creates an external copy of an Harborlock backup such that it can be "
                      "imported later into this or another Harborlock installation."));
    auto* cbox = Get<QComboBox>(form, "cboxBackupSelection");
    ASSERT_EQ(cbox->count(), 2);
    EXPECT_TRUE(cbox->itemText(0).startsWith("Quarnex Server ID: 0001A2B3    "));
    EXPECT_TRUE(cbox->itemText(1).startsWith("Main office    Server ID: 00C0FFEE    "));
    EXPECT_FALSE(cbox->font().italic());
    EXPECT_TRUE(Get<QLineEdit>(form, "editExportName")->isEnabled());
}

TEST_F(TExportBackupFormTest, WithoutBackupsOkClosesAndChoosesNothing)
{
    TExportBackupForm form;
    form.InitGUIWithData({});
    form.show();
    auto* cbox = Get<QComboBox>(form, "cboxBackupSelection");
    ASSERT_EQ(cbox->count(), 1);
    EXPECT_EQ(cbox->itemText(0), "There are no Harborlock backups");
    EXPECT_TRUE(cbox->font().italic());
    for (const char* name : {"lbExportName", "editExportName", "lbExportDir", "editExportDir", "btnBrowse"})
        EXPECT_FALSE(Get<QWidget>(form, name)->isEnabled()) << name;

    const auto box = PressOK(form);
    EXPECT_TRUE(box.title.isEmpty()) << box.text.toStdString();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    int index = 5;
    std::string path = "x";
    form.GetData(index, path);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(path, "");
}

TEST_F(TExportBackupFormTest, ValidationStopsAtTheFirstFailureInOrder)
{
    TExportBackupForm form;
    form.InitGUIWithData(TwoBackups());
    form.show();
    auto* name = Get<QLineEdit>(form, "editExportName");
    auto* folder = Get<QLineEdit>(form, "editExportDir");

    // Both empty: the name is checked first.
    auto box = PressOK(form);
    EXPECT_EQ(box.title, "Error");
    EXPECT_EQ(box.text, "No export name is specified");
    EXPECT_EQ(box.icon, QMessageBox::NoIcon);
    EXPECT_EQ(box.buttons, static_cast<int>(QMessageBox::Ok));
    EXPECT_EQ(form.focusWidget(), name);
    EXPECT_TRUE(form.isVisible());

    name->setText("dvd1");
    box = PressOK(form);
    EXPECT_EQ(box.text, "No export folder is specified");
    EXPECT_EQ(form.focusWidget(), folder);

    folder->setText(QString::fromStdString(SandboxPath("missing")));
    box = PressOK(form);
    EXPECT_EQ(box.text, "The export folder doesn't exist");
    EXPECT_EQ(form.focusWidget(), folder);

    std::filesystem::create_directories(SandboxPath("exports/dvd1"));
    folder->setText(QString::fromStdString(SandboxPath("exports")));
    name->setFocus();
    {
        // A folder where no file can be made (the test may run as root, which ignores modes).
        hl::FaultPlatform fault;
        fault.FailAll(hl::kErrAccessDenied, hl::kOpTempName | hl::kOpOpen);
        hl::ScopedPlatform use(fault);
        box = PressOK(form);
    }
    EXPECT_EQ(box.text, "The export folder is not writeable");
    EXPECT_EQ(form.focusWidget(), folder);

    box = PressOK(form);
    const std::string full = SandboxPath("exports") + "/dvd1";
    EXPECT_EQ(box.text.toStdString(), "The export name is invalid.\n" + full + " already exists.");
    EXPECT_EQ(form.focusWidget(), name);
    EXPECT_TRUE(form.isVisible());
    EXPECT_NE(form.result(), QDialog::Accepted);

    name->setText("dvd2");
    Get<QComboBox>(form, "cboxBackupSelection")->setCurrentIndex(1);
    box = PressOK(form);
    EXPECT_TRUE(box.title.isEmpty()) << box.text.toStdString();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    int index = -1;
    std::string path;
    form.GetData(index, path);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(path, SandboxPath("exports") + "/dvd2");
}

TEST_F(TExportBackupFormTest, TrailingSeparatorDoublesInThePathAndIsAccepted)
{
    TExportBackupForm form;
    form.InitGUIWithData(TwoBackups());
    form.show();
    Get<QLineEdit>(form, "editExportName")->setText("archive");
    Get<QLineEdit>(form, "editExportDir")->setText(QString::fromStdString(SandboxPath("exports") + "/"));
    const auto box = PressOK(form);
    EXPECT_TRUE(box.title.isEmpty()) << box.text.toStdString();
    int index = -1;
    std::string path;
    form.GetData(index, path);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(path, SandboxPath("exports") + "//archive");
}

TEST_F(TExportBackupFormTest, BrowseReplacesTheFolderOnlyWhenOneIsChosen)
{
    TExportBackupForm form;
    form.InitGUIWithData(TwoBackups());
    form.show();
    auto* folder = Get<QLineEdit>(form, "editExportDir");
    folder->setText("/typed");
    const std::string chosen = SandboxPath("exports");

    ModalWatcher driver;
    QString title;
    driver.Then([&](QWidget* w) {
        title = w->windowTitle();
        auto* picker = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(picker, nullptr);
        picker->setDirectory(QString::fromStdString(chosen));
        picker->selectFile(QString::fromStdString(chosen));
        QMetaObject::invokeMethod(picker, &QDialog::accept, Qt::QueuedConnection);
    });
    Get<QPushButton>(form, "btnBrowse")->click();
    EXPECT_EQ(title, "Choose a folder to export the backup to:");
    EXPECT_EQ(folder->text().toStdString(), chosen);

    driver.Then([](QWidget* w) { QMetaObject::invokeMethod(w, "reject", Qt::QueuedConnection); });
    Get<QPushButton>(form, "btnBrowse")->click();
    EXPECT_EQ(folder->text().toStdString(), chosen);
    EXPECT_TRUE(driver.unexpected.empty());
}
