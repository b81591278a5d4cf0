#pragma once
// "Start Harborlock when I log in": an XDG autostart entry (harborlock.desktop in
// $XDG_CONFIG_HOME/autostart, else ~/.config/autostart) that starts this program with the
// one option it knows, which starts it minimised to the tray. The entry's presence is the
// setting: there is nothing else to keep in step with it.

#include <QStringList>

#include <string>

class CAutostartEntry {
public:
    static constexpr const char* kMinimizedOption = "--minimized";

    // The entry of this user for this program file.
    CAutostartEntry();
    // An entry at a given path starting a given program file.
    CAutostartEntry(std::string path, std::string program);

    static std::string DefaultPath();

    const std::string& Path() const { return m_path; }
    // True when the entry exists and is not switched off ("Hidden=true").
    bool IsEnabled() const;
    // Writes (replacing) or removes the entry. False, with the cause in the debug log, when
    // that failed or the program path cannot be written into an Exec line.
    bool SetEnabled(bool enabled);
    // The text Enable writes; empty when the program path cannot be expressed.
    std::string Contents() const;

    // True when the program was started with the minimised option.
    static bool StartsMinimized(const QStringList& arguments);

private:
    std::string m_path;
    std::string m_program;
};
