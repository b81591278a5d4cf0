// The real installer script, carried by the real stub, installing into a
// sandboxed home folder.
#include "SetupTestSupport.h"

namespace fs = std::filesystem;
using namespace setuptest;

namespace {

class InstallerScriptTest : public SetupSandbox {
protected:
    void SetUp() override
    {
        SetupSandbox::SetUp();
        // Space and "$" in the home path exercise the quoting of the menu entry.
        m_home = At("home dir$1");
        m_dataHome = m_home / "data";
        fs::create_directories(m_home);
    }

    // A program archive whose "Harborlock" prints `version`, packed into a setup file.
    fs::path MakeSetup(const std::string& version, bool withDesktopTemplate)
    {
        const fs::path stage = At("stage");
        fs::remove_all(stage);
        fs::create_directories(stage);
        WriteText(stage / "Harborlock", "#!/bin/sh\necho " + version + "\n", true);
        WriteText(stage / "BackupQuickStart.pdf", "%PDF backup " + version);
        WriteText(stage / "RestoreQuickStart.pdf", "%PDF restore " + version);
        WriteText(stage / "harborlock.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>");
        if (withDesktopTemplate)
            WriteText(stage / "harborlock.desktop",
                      "[Desktop Entry]\nType=Application\nName=Harborlock\nExec=Harborlock\nIcon=harborlock\n"
                      "Categories=Utility;Archiving;\n\n[Desktop Action Extra]\nName=Extra\nExec=keep-me\n");
        const fs::path archive = At("Harborlock.tar");
        const RunResult tar = RunProcess({"/bin/tar", "-cf", archive.string(), "-C", stage.string(), "."},
                                         {{"PATH", "/usr/bin:/bin"}});
        EXPECT_EQ(tar.code, 0) << tar.err;
        return Pack(InstallerScriptPath(), {archive}, "HarborlockSetup-" + version);
    }

    std::map<std::string, std::string> Env() const
    {
        auto env = BaseEnv();
        env["HOME"] = m_home.string();
        env["XDG_DATA_HOME"] = m_dataHome.string();
        return env;
    }

    fs::path LibDir() const { return m_home / ".local/lib/harborlock"; }

    // The program that the menu entry's Exec line names, its escapes undone.
    static std::string ExecTarget(const std::string& desktop)
    {
        std::istringstream in(desktop);
        std::string line, value;
        while (std::getline(in, line))
            if (line.rfind("Exec=", 0) == 0) {
                value = line.substr(5);
                break; // the first group is [Desktop Entry]
            }
        std::string unescaped; // string-level escapes: "\\" is one backslash
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == '\\')
                ++i;
            unescaped += value[i];
        }
        if (unescaped.size() < 2 || unescaped.front() != '"' || unescaped.back() != '"')
            return "unquoted: " + value;
        std::string target; // inside quotes a backslash escapes the next character
        for (std::size_t i = 1; i + 1 < unescaped.size(); ++i) {
            if (unescaped[i] == '\\')
                ++i;
            target += unescaped[i];
        }
        return target;
    }

    std::string Program(const fs::path& path)
    {
        return RunProcess({path.string()}, {{"PATH", "/usr/bin:/bin"}}).out;
    }

    fs::path m_home, m_dataHome;
};

TEST_F(InstallerScriptTest, InstallsForTheUserAndUpgradesInPlaceKeepingSettingsAndBackups)
{
    const RunResult first = RunProcess({MakeSetup("v1", true).string()}, Env());
    ASSERT_EQ(first.code, 0) << first.err;

    EXPECT_EQ(ListTree(LibDir()),
              (std::vector<std::string>{"BackupQuickStart.pdf", "Harborlock", "RestoreQuickStart.pdf",
                                        "harborlock.desktop", "harborlock.svg"}));
    EXPECT_EQ(Program(LibDir() / "Harborlock"), "v1\n");
    const fs::path command = m_home / ".local/bin/Harborlock";
    ASSERT_TRUE(fs::is_symlink(command));
    EXPECT_EQ(fs::canonical(command), fs::canonical(LibDir() / "Harborlock"));
    const fs::path icon = m_dataHome / "icons/hicolor/scalable/apps/harborlock.svg";
    EXPECT_TRUE(fs::exists(icon));

    const fs::path entry = m_dataHome / "applications/harborlock.desktop";
    const std::string desktop = ReadText(entry);
    EXPECT_EQ(desktop.rfind("[Desktop Entry]\n", 0), 0u) << desktop;
    EXPECT_NE(desktop.find("\nType=Application\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("\nName=Harborlock\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("\nIcon=" + icon.string() + "\n"), std::string::npos) << desktop;
    EXPECT_EQ(desktop.find("Exec=Harborlock\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("Exec=keep-me\n"), std::string::npos) << "other groups are kept\n" << desktop;
    EXPECT_EQ(ExecTarget(desktop), (LibDir() / "Harborlock").string()) << desktop;
    EXPECT_EQ(Program(ExecTarget(desktop)), "v1\n");

    // The user's settings and backups exist before the upgrade.
    const fs::path settings = m_dataHome / "Quarnex/Harborlock/Config/Harborlock.cfg";
    const fs::path backup = m_home / "HarborlockBackups/0000ABCD/17/backup.cfg";
    fs::create_directories(settings.parent_path());
    fs::create_directories(backup.parent_path());
    WriteText(settings, "IPPort: 5002\r\n");
    WriteText(backup, "LastBackupDate: 1\r\n");

    const RunResult second = RunProcess({MakeSetup("v2", true).string()}, Env());
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(Program(command), "v2\n");
    EXPECT_EQ(ReadText(LibDir() / "BackupQuickStart.pdf"), "%PDF backup v2");
    EXPECT_EQ(ReadText(settings), "IPPort: 5002\r\n");
    EXPECT_EQ(ReadText(backup), "LastBackupDate: 1\r\n");
    // Nothing left from the swap, nothing left in the temporary folder.
    EXPECT_EQ(ListTree(m_home / ".local/lib"),
              (std::vector<std::string>{"harborlock", "harborlock/BackupQuickStart.pdf",
                                        "harborlock/Harborlock", "harborlock/RestoreQuickStart.pdf",
                                        "harborlock/harborlock.desktop", "harborlock/harborlock.svg"}));
    EXPECT_TRUE(ListTree(TempDir()).empty());
}

TEST_F(InstallerScriptTest, NamesTheSystemPackagesThatAreStillMissing)
{
    // A stand-in ldd reports the Qt widgets library as missing.
    const fs::path bin = At("bin");
    fs::create_directories(bin);
    WriteText(
        bin / "ldd",
        "#!/bin/sh\necho '\tlibQt6Widgets.so.6 => not found'\necho '\tlibc.so.6 => /lib/libc.so.6 (0x1)'\n",
        true);
    auto env = Env();
    env["PATH"] = bin.string() + ":/usr/bin:/bin";
    const RunResult r = RunProcess({MakeSetup("v1", false).string()}, env);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("sudo apt-get install libqt6widgets6"), std::string::npos) << r.err;
    // Without a shipped template the menu entry is written whole.
    const std::string desktop = ReadText(m_dataHome / "applications/harborlock.desktop");
    EXPECT_NE(desktop.find("\nType=Application\n"), std::string::npos) << desktop;
    EXPECT_EQ(Program(ExecTarget(desktop)), "v1\n") << desktop;
}

TEST_F(InstallerScriptTest, FailsWithoutTouchingTheInstalledVersionWhenTheArchiveHasNoProgram)
{
    ASSERT_EQ(RunProcess({MakeSetup("v1", false).string()}, Env()).code, 0);
    // An archive without the program.
    const fs::path stage = At("stage2");
    fs::create_directories(stage);
    WriteText(stage / "readme.txt", "no program here");
    const fs::path archive = At("Harborlock.tar");
    ASSERT_EQ(RunProcess({"/bin/tar", "-cf", archive.string(), "-C", stage.string(), "."},
                         {{"PATH", "/usr/bin:/bin"}})
                  .code,
              0);
    const RunResult r = RunProcess({Pack(InstallerScriptPath(), {archive}, "broken").string()}, Env());
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Harborlock could not be installed"), std::string::npos) << r.err;
    EXPECT_EQ(Program(LibDir() / "Harborlock"), "v1\n");
    EXPECT_EQ(ListTree(m_home / ".local/lib").front(), "harborlock");
}

} // namespace
