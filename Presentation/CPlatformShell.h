#pragma once
// The desktop shell: opening documents with their associated program, the
// folder picker, the per-user data folder, and the program's message boxes.

#include <string>

class QWidget;

class CPlatformShell {
public:
    CPlatformShell() = default;

    // Opens the file with its associated program. A failure (result 32 or
    // less) is logged and, with showErrors, shown in the launch error box.
    bool Launch(const std::string& path, bool showErrors);
    int GetLastLaunchResult() const { return m_lastResult; }
    const std::string& GetPath() const { return m_path; }

    // The folder picker; true with the chosen path, false (and an empty path)
    // when the user cancelled. A null title means "Choose A Folder:".
    static bool BrowseForFolder(QWidget* owner, const char* title, std::string& path);

    // The per-user data folder with "Quarnex" appended.
    static void GetAppDataDir(std::string& path);

    // Text of the launch error box for a shell result.
    static std::string LaunchErrorText(const std::string& path, int result);

    // Modal box with caption "Error", an OK button and no icon.
    static void ErrorBox(QWidget* owner, const std::string& text);

private:
    int m_lastResult = 33;
    std::string m_path;
};
