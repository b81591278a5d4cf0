#include "TBackupOptionsForm.h"

#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "DialogTestSupport.h"
#include "SampleBackupFolder.h"
#include "TestSandbox.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>

#include <gtest/gtest.h>

namespace {

using dialogtest::Get;

class TBackupOptionsFormTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        dialogtest::App();
        testsupport::CopySampleBackupFolder(SandboxPath("repo"));
        repository = std::make_unique<CBFMRepository>(SandboxPath("repo").c_str());
    }
    void TearDown() override
    {
        repository.reset();
        SandboxTest::TearDown();
    }

    TBackupOptionsForm::ServerList Servers()
    {
        TBackupOptionsForm::ServerList servers;
        repository->GetAllServers(servers);
        return servers;
    }

    std::unique_ptr<CBFMRepository> repository;
};

} // namespace

TEST_F(TBackupOptionsFormTest, WithoutServersTheOptionsAreGreyAndNothingIsChosen)
{
    TBackupOptionsForm form;
    form.InitGUIWithData({});
    form.show();
    auto* cbox = Get<QComboBox>(form, "cboxServerSelection");
    ASSERT_EQ(cbox->count(), 1);
    EXPECT_EQ(cbox->itemText(0), "Harborlock has no server backups");
    EXPECT_TRUE(Get<QLabel>(form, "memoNoServer")->isVisible());
    EXPECT_EQ(Get<QLabel>(form, "memoNoServer")->text(),
              "Option setting is disabled until a backup has been performed.");
    EXPECT_FALSE(Get<QGroupBox>(form, "grpboxModeOverride")->isEnabled());
    EXPECT_FALSE(Get<QGroupBox>(form, "grpboxRetainOldBackups")->isEnabled());
    EXPECT_FALSE(Get<QSpinBox>(form, "udKeepNum")->isEnabled());
    EXPECT_FALSE(Get<QLineEdit>(form, "editNumDays")->isEnabled());
    EXPECT_TRUE(Get<QGroupBox>(form, "grpboxChooseServer")->isEnabled());

    int index = 7, number = 7, type = 7, keep = 7;
    form.GetData(index, number, type, keep);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(keep, 0);

    // The note makes the first group and the dialog taller and moves the others down.
    TBackupOptionsForm withServers;
    withServers.InitGUIWithData(Servers());
    withServers.resize(form.width(), withServers.height());
    withServers.show();
    EXPECT_FALSE(Get<QLabel>(withServers, "memoNoServer")->isVisible());
    const int noteHeight = Get<QLabel>(form, "memoNoServer")->height();
    EXPECT_GE(Get<QGroupBox>(form, "grpboxChooseServer")->height(),
              Get<QGroupBox>(withServers, "grpboxChooseServer")->height() + noteHeight);
    EXPECT_GE(Get<QGroupBox>(form, "grpboxModeOverride")->y(),
              Get<QGroupBox>(withServers, "grpboxModeOverride")->y() + noteHeight);
    EXPECT_GT(form.height(), withServers.height());
}

TEST_F(TBackupOptionsFormTest, OneServerSetToNeverShowsOnesDisabledAndReadsBackTypeTwoNumberZero)
{
    auto servers = Servers();
    ASSERT_EQ(servers.size(), 2u);
    TBackupOptionsForm::ServerList one;
    for (auto& s : servers)
        if (s->GetServerID() == "00C0FFEE")
            one.push_back(s);
    ASSERT_EQ(one.size(), 1u);
    one[0]->SetForceFullType(CBFMServer::Never);
    one[0]->SetNumOldBackupsToKeep(4);

    TBackupOptionsForm form;
    form.InitGUIWithData(one);
    form.show();
    auto* cbox = Get<QComboBox>(form, "cboxServerSelection");
    ASSERT_EQ(cbox->count(), 1);
    EXPECT_EQ(cbox->itemText(0), "Main office    Server ID: 00C0FFEE");
    EXPECT_FALSE(Get<QLabel>(form, "memoNoServer")->isVisible());
    EXPECT_TRUE(Get<QGroupBox>(form, "grpboxModeOverride")->isEnabled());
    EXPECT_TRUE(Get<QRadioButton>(form, "rbForceFullNever")->isChecked());
    EXPECT_EQ(Get<QSpinBox>(form, "udNumDays")->value(), 1);
    EXPECT_EQ(Get<QSpinBox>(form, "udNumIncrs")->value(), 1);
    EXPECT_FALSE(Get<QSpinBox>(form, "udNumDays")->isEnabled());
    EXPECT_FALSE(Get<QSpinBox>(form, "udNumIncrs")->isEnabled());
    EXPECT_FALSE(Get<QLineEdit>(form, "editNumIncrs")->isEnabled());
    EXPECT_TRUE(Get<QSpinBox>(form, "udKeepNum")->isEnabled());
    EXPECT_EQ(Get<QSpinBox>(form, "udKeepNum")->value(), 4);

    int index = -5, number = -5, type = -5, keep = -5;
    form.GetData(index, number, type, keep);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(keep, 4);
}

TEST_F(TBackupOptionsFormTest, SeveralServersStartOnThePromptAndLoadTheChosenServer)
{
    auto servers = Servers();
    ASSERT_EQ(servers.size(), 2u);
    TBackupOptionsForm form;
    form.InitGUIWithData(servers);
    form.show();
    auto* cbox = Get<QComboBox>(form, "cboxServerSelection");
    ASSERT_EQ(cbox->count(), 3);
    EXPECT_EQ(cbox->currentIndex(), 0);
    EXPECT_EQ(cbox->itemText(0), "Select a server");
    EXPECT_FALSE(Get<QGroupBox>(form, "grpboxModeOverride")->isEnabled());
    EXPECT_FALSE(Get<QGroupBox>(form, "grpboxRetainOldBackups")->isEnabled());
    int index = 9, number = 9, type = 9, keep = 9;
    form.GetData(index, number, type, keep);
    EXPECT_EQ(index, -1);

    // Items follow the repository's order; find each server's row.
    const int rowA = cbox->findText("Quarnex Server ID: 0001A2B3");
    const int rowB = cbox->findText("Main office    Server ID: 00C0FFEE");
    ASSERT_GE(rowA, 1);
    ASSERT_GE(rowB, 1);

    auto* days = Get<QSpinBox>(form, "udNumDays");
    auto* incrs = Get<QSpinBox>(form, "udNumIncrs");
    auto* keepNum = Get<QSpinBox>(form, "udKeepNum");

    cbox->setCurrentIndex(rowA); // force full after 7 days, keep 2
    EXPECT_TRUE(Get<QGroupBox>(form, "grpboxModeOverride")->isEnabled());
    EXPECT_TRUE(Get<QRadioButton>(form, "rbForceFullDay")->isChecked());
    EXPECT_EQ(days->value(), 7);
    EXPECT_TRUE(days->isEnabled());
    EXPECT_EQ(incrs->value(), 1);
    EXPECT_FALSE(incrs->isEnabled());
    EXPECT_EQ(keepNum->value(), 2);

    // Unsaved edits of one server are dropped when another is chosen.
    days->setValue(30);
    cbox->setCurrentIndex(rowB); // force full after 3 incrementals, keep 0
    EXPECT_TRUE(Get<QRadioButton>(form, "rbForceFullIncr")->isChecked());
    EXPECT_EQ(incrs->value(), 3);
    EXPECT_TRUE(incrs->isEnabled());
    EXPECT_EQ(days->value(), 1);
    EXPECT_FALSE(days->isEnabled());
    EXPECT_EQ(keepNum->value(), 0);
    cbox->setCurrentIndex(rowA);
    EXPECT_EQ(days->value(), 7);

    // The radio buttons switch the pairs, and GetData reads the checked one.
    Get<QRadioButton>(form, "rbForceFullIncr")->click();
    EXPECT_FALSE(days->isEnabled());
    EXPECT_TRUE(incrs->isEnabled());
    incrs->setValue(12);
    keepNum->setValue(0);
    form.GetData(index, number, type, keep);
    EXPECT_EQ(index, rowA - 1);
    EXPECT_EQ(servers[static_cast<size_t>(index)]->GetServerID(), "0001A2B3");
    EXPECT_EQ(type, 1);
    EXPECT_EQ(number, 12);
    EXPECT_EQ(keep, 0);

    Get<QRadioButton>(form, "rbForceFullNever")->click();
    EXPECT_FALSE(days->isEnabled());
    EXPECT_FALSE(incrs->isEnabled());
    form.GetData(index, number, type, keep);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(number, 0);

    // Back to the prompt: everything greys out again and nothing is chosen.
    cbox->setCurrentIndex(0);
    EXPECT_FALSE(Get<QGroupBox>(form, "grpboxModeOverride")->isEnabled());
    form.GetData(index, number, type, keep);
    EXPECT_EQ(index, -1);
}

TEST_F(TBackupOptionsFormTest, UpDownsKeepTheirRanges)
{
    auto servers = Servers();
    TBackupOptionsForm form;
    form.InitGUIWithData(servers);
    auto* cbox = Get<QComboBox>(form, "cboxServerSelection");
    cbox->setCurrentIndex(cbox->findText("Quarnex Server ID: 0001A2B3"));
    auto* days = Get<QSpinBox>(form, "udNumDays");
    auto* incrs = Get<QSpinBox>(form, "udNumIncrs");
    auto* keepNum = Get<QSpinBox>(form, "udKeepNum");
    EXPECT_EQ(days->minimum(), 1);
    EXPECT_EQ(days->maximum(), 32000);
    EXPECT_EQ(incrs->minimum(), 1);
    EXPECT_EQ(incrs->maximum(), 32000);
    EXPECT_EQ(keepNum->minimum(), 0);
    EXPECT_EQ(keepNum->maximum(), 32000);
    EXPECT_FALSE(days->wrapping());

    days->setValue(1);
    days->stepDown();
    EXPECT_EQ(days->value(), 1);
    keepNum->setValue(0);
    keepNum->stepDown();
    EXPECT_EQ(keepNum->value(), 0);
    days->setValue(32000);
    days->stepUp();
    EXPECT_EQ(days->value(), 32000);
    EXPECT_EQ(Get<QLineEdit>(form, "editNumDays")->text(), "32000"); // no thousands separator

    // A typed value beyond the range never reaches the position read back.
    auto* edit = Get<QLineEdit>(form, "editNumDays");
    edit->selectAll();
    edit->insert("99999");
    days->interpretText();
    EXPECT_LE(days->value(), 32000);
    EXPECT_GE(days->value(), 1);
    int index, number, type, keep;
    form.GetData(index, number, type, keep);
    EXPECT_EQ(number, days->value());
}
