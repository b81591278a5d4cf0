#include "TDeleteBackupForm.h"

#include "CBFMRepository.h"
#include "CWork.h"
#include "DialogTestSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

TEST(TDeleteBackupFormTest, ListsDescriptionsAndReturnsTheChosenIndex)
{
    dialogtest::App();
    const std::vector<TBackupInfo> backups = {{"0001A2B3", "12", "", 1764000000u},
                                              {"0001A2B3", "417", "", 1765100000u}};
    TDeleteBackupForm form;
    form.InitGUIWithData(backups);
    EXPECT_EQ(form.windowTitle(), "Delete a backup");
    EXPECT_EQ(form.findChild<QLabel *>("lbSelectSpecific")->text(), "Select a Backup to Delete:");
    auto *cbox = form.findChild<QComboBox *>("cboxBackupSelection");
    ASSERT_EQ(cbox->count(), 2);
    EXPECT_EQ(cbox->itemText(1).toStdString(), CWork::GetBackupDescription(backups[1]));
    EXPECT_EQ(cbox->currentIndex(), 0);
    EXPECT_FALSE(cbox->isEditable());
    cbox->setCurrentIndex(1);
    int index = -1;
    form.GetData(index);
    EXPECT_EQ(index, 1);
}

TEST(TDeleteBackupFormTest, WithoutBackupsShowsTheItalicPlaceholderAndChoosesNothing)
{
    dialogtest::App();
    TDeleteBackupForm form;
    form.InitGUIWithData({});
    auto *cbox = form.findChild<QComboBox *>("cboxBackupSelection");
    ASSERT_EQ(cbox->count(), 1);
    EXPECT_EQ(cbox->itemText(0), "There are no Harborlock backups");
    EXPECT_TRUE(cbox->font().italic());
    form.show();
    form.findChild<QPushButton *>("btnOK")->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    int index = 3;
    form.GetData(index);
    EXPECT_EQ(index, -1);
}
