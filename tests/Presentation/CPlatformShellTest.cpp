// Opening documents: a file that cannot be opened is logged and explained.

#include "PresentationFixture.h"

#include "CPlatformShell.h"
#include "ModalWatcher.h"

#include <QApplication>

namespace {

class CPlatformShellTest : public PresentationTest {};

TEST_F(CPlatformShellTest, MissingFileIsLoggedAndShownWithItsReason)
{
    const std::string path = SandboxPath("BackupQuickStart.pdf");
    ModalWatcher watcher;
    QString caption, text;
    watcher.AcceptMessageBox(&caption, &text);
    CPlatformShell shell;
    EXPECT_FALSE(shell.Launch(path, true));
    EXPECT_EQ(shell.GetLastLaunchResult(), 2);
    EXPECT_EQ(shell.GetPath(), path);
    EXPECT_EQ(caption, "Launch Error");
    EXPECT_EQ(text.toStdString(), "Unable to launch file " + path + ".\nThe path or file does not exist.");
    EXPECT_NE(DebugLog().find("CPlatformShell::Launch(): unable to launch file " + path + ", reason: 0x2\n"),
              std::string::npos);
}

TEST_F(CPlatformShellTest, WithoutTheFlagNothingIsShown)
{
    CPlatformShell shell;
    EXPECT_FALSE(shell.Launch(SandboxPath("missing.pdf"), false));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(CPlatformShellTextTest, ReasonsOfTheLaunchErrorBox)
{
    EXPECT_EQ(CPlatformShell::LaunchErrorText("a.pdf", 31),
              "Unable to launch file a.pdf.\nThere is no executable associated with this file type.");
    EXPECT_EQ(CPlatformShell::LaunchErrorText("a.pdf", 11),
              "Unable to launch file a.pdf.\nThe a.pdf file has an illegal format.");
    EXPECT_EQ(CPlatformShell::LaunchErrorText("a.pdf", 99), "Unable to launch file a.pdf.\n");
}

} // namespace
