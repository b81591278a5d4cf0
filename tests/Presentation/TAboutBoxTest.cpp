#include "TAboutBox.h"

#include "DialogTestSupport.h"
#include "GetVersionInfo.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

TEST(TAboutBoxTest, VersionText)
{
    EXPECT_EQ(TAboutBox::VersionText("5.3.1.0", ""), "Software Version: 5.3.1.0");
    EXPECT_EQ(TAboutBox::VersionText("5.3.1.0", "beta"), "Software Version: 5.3.1.0 - beta");
    EXPECT_EQ(TAboutBox::VersionText("", "beta"), "");
}

TEST(TAboutBoxTest, ShowsTheBuildsProductNameAndVersion)
{
    dialogtest::App();
    std::string product, version, comments;
    GetVersionInfo(product, version, comments);
    ASSERT_FALSE(version.empty()) << "the build carries no version";

    QWidget owner;
    owner.setGeometry(100, 100, 800, 600);
    owner.show();
    TAboutBox box(&owner);
    EXPECT_EQ(box.windowTitle(), "About Harborlock");
    EXPECT_EQ(box.findChild<QLabel*>("lbProductName")->text(), "Harborlock");
    const QString expected =
        QString::fromStdString("Software Version: " + version + (comments.empty() ? "" : " - " + comments));
    EXPECT_EQ(box.findChild<QLabel*>("lbVersion")->text(), expected);
    EXPECT_TRUE(box.findChild<QLabel*>("lbVersion")->wordWrap());
    EXPECT_FALSE(box.findChild<QLabel*>("lbCopyright")->text().isEmpty());
    auto* ok = box.findChild<QPushButton*>("OKButton");
    EXPECT_EQ(ok->text(), "OK");
    EXPECT_TRUE(ok->isDefault());

    box.show();
    QLabel* logo = box.findChild<QLabel*>("imgLogoImage");
    QFrame* logoPanel = box.findChild<QFrame*>("pnLogo");
    EXPECT_FALSE(logo->pixmap().isNull());
    EXPECT_EQ(logoPanel->size(), QSize(logo->width() + 9, logo->height() + 9));
    EXPECT_EQ(logo->pos(), QPoint(4, 4));
    QLabel* product2 = box.findChild<QLabel*>("imgProduct");
    EXPECT_EQ(box.findChild<QFrame*>("pnProduct")->size(),
              QSize(product2->width() + 9, product2->height() + 9));
    // Centred on its owner.
    EXPECT_LE((box.frameGeometry().center() - owner.frameGeometry().center()).manhattanLength(), 4);
    ok->click();
    EXPECT_EQ(box.result(), QDialog::Accepted);
}
