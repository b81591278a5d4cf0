// "Start Harborlock when I log in": the XDG autostart entry, written and removed from the
// settings dialog, and the one command-line option it starts the program with.

#include "PresentationFixture.h"

#include "CAutostartEntry.h"
#include "MakeDirPath.h"
#include "ModalWatcher.h"
#include "Platform.h"
#include "ScopedEnvironment.h"

#include <QCheckBox>
#include <QPushButton>

#include <optional>

namespace {

class AutostartTest : public PresentationTest {
protected:
    void SetUp() override
    {
        PresentationTest::SetUp();
        // Never the real user's autostart folder.
        config.emplace("XDG_CONFIG_HOME", SandboxPath("config"));
    }
    void TearDown() override
    {
        PresentationTest::TearDown();
        config.reset();
    }

    std::string EntryPath() const { return SandboxPath("config/autostart/harborlock.desktop"); }

    // Opens "Modify", reads the check box, sets it and presses OK.
    bool RunDialog(bool check)
    {
        ModalWatcher watcher;
        bool shown = false;
        watcher.Then([&](QWidget* dlg) {
            auto* box = dlg->findChild<QCheckBox*>("chkboxStartAtLogin");
            if (box) {
                EXPECT_EQ(box->text(), "Start Harborlock when I log in");
                shown = box->isChecked();
                box->setChecked(check);
            }
            dlg->findChild<QPushButton*>("btnOK")->click();
        });
        Child<QPushButton>("btnSettingsModify")->click();
        EXPECT_EQ(watcher.Pending(), 0u);
        return shown;
    }

    std::optional<testsupport::ScopedEnvironment> config;
};

TEST_F(AutostartTest, SettingsDialogWritesAndRemovesTheEntry)
{
    ASSERT_GT(ShowMainFormOnServedPort(), 0);
    const std::string settings = ReadFile(SettingsPath());
    EXPECT_EQ(CAutostartEntry::DefaultPath(), EntryPath());

    EXPECT_FALSE(RunDialog(true)) << "off by default";
    ASSERT_TRUE(hl::Os().FileExists(EntryPath()));
    const std::string entry = ReadFile(EntryPath());
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u) << entry;
    EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos) << entry;
    const std::string exec = "\nExec=\"" + hl::Os().ExecutablePath() + "\" --minimized\n";
    EXPECT_NE(entry.find(exec), std::string::npos) << entry;
    EXPECT_EQ(ReadFile(SettingsPath()), settings) << "the port and folder were not touched";

    EXPECT_TRUE(RunDialog(false)) << "the dialog shows the entry that is there";
    EXPECT_FALSE(hl::Os().PathExists(EntryPath()));
    EXPECT_FALSE(RunDialog(false));
    EXPECT_FALSE(hl::Os().PathExists(EntryPath()));
}

TEST_F(AutostartTest, ExecLineQuotesAndEscapesTheProgramPath)
{
    const std::string path = SandboxPath("elsewhere/harborlock.desktop");
    CAutostartEntry entry(path, "/opt/My Apps/Harbor$lock%1\\x/Harborlock");
    // Quoted for the Exec line ("$" and "\" escaped), backslashes escaped again for the
    // string value, "%" doubled.
    EXPECT_NE(
        entry.Contents().find("\nExec=\"/opt/My Apps/Harbor\\\\$lock%%1\\\\\\\\x/Harborlock\" --minimized\n"),
        std::string::npos)
        << entry.Contents();
    EXPECT_FALSE(entry.IsEnabled());
    ASSERT_TRUE(entry.SetEnabled(true)) << "the missing folder is created";
    EXPECT_TRUE(entry.IsEnabled());
    EXPECT_EQ(ReadFile(path), entry.Contents());

    // Switched off by the desktop's own startup settings.
    WriteFile(path, entry.Contents() + "Hidden=true\n");
    EXPECT_FALSE(entry.IsEnabled());

    ASSERT_TRUE(entry.SetEnabled(false));
    EXPECT_FALSE(hl::Os().PathExists(path));
    EXPECT_TRUE(entry.SetEnabled(false)) << "removing what is not there is no failure";

    // A path no Exec line can carry is refused, and nothing is written.
    CAutostartEntry broken(path, "/opt/bad\nname/Harborlock");
    EXPECT_TRUE(broken.Contents().empty());
    EXPECT_FALSE(broken.SetEnabled(true));
    EXPECT_FALSE(hl::Os().PathExists(path));
}

TEST_F(AutostartTest, OnlyTheMinimizedOptionIsRecognised)
{
    EXPECT_TRUE(CAutostartEntry::StartsMinimized({"Harborlock", "--minimized"}));
    EXPECT_FALSE(CAutostartEntry::StartsMinimized({"Harborlock"}));
    EXPECT_FALSE(CAutostartEntry::StartsMinimized({"--minimized"})) << "the program's own name is no option";
    EXPECT_FALSE(CAutostartEntry::StartsMinimized({"Harborlock", "--minimised", "-m"}));
}

} // namespace
