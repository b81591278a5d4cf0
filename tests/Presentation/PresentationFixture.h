#pragma once
// A sandbox with the program's data root, debug log and settings file, and a
// main window shown on it.

#include "QtTestPrinters.h"
#include "TMainForm.h"
#include "TestSandbox.h"

#include <QLabel>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class PresentationTest : public SandboxTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string DataRoot() const { return SandboxPath("data"); }
    std::string BackupFolder() const { return SandboxPath("backups"); }
    std::string SettingsPath() const { return DataRoot() + "/Config/Harborlock.cfg"; }
    std::string ActivityLogPath() const { return DataRoot() + "/log/activityLog.txt"; }

    // Writes the settings file the way the program does.
    void WriteSettings(const std::string& port, const std::string& folder);

    // Creates the main window without showing it.
    TMainForm& CreateMainForm();
    // Creates (if needed) and shows the main window, running its show handler.
    TMainForm& ShowMainForm();
    // Closes it (running the close handler) and destroys it.
    void CloseMainForm();

    // Runs `show(port)`, which shows the window with its service on `port`, with served ports
    // until the service starts on one, and returns that port; -1 when none did or `show`
    // failed the test. A port another process holds makes the start fail: that window is
    // closed and its activity log removed, so that the next attempt starts afresh.
    int ShowOnServedPort(const std::function<void(int port)>& show);
    // The usual `show`: the settings name the port and BackupFolder(), then the window.
    int ShowMainFormOnServedPort();
    // Whether the window said that its service did not start.
    bool ServiceStartFailed();
    TMainForm& Form() { return *m_form; }

    template <class T>
    T* Child(const char* name)
    {
        return m_form->findChild<T*>(QString::fromLatin1(name));
    }
    QString Text(const char* label) { return Child<QLabel>(label)->text(); }

    // The activity log memo's lines without their time stamps.
    QStringList ActivityTexts();
    // Lines of the activity log file without their time stamps.
    QStringList ActivityFileTexts();
    // Runs the window's queued messages.
    void Pump();

    std::string DebugLog() const;

    // Strips "mm/dd/yy hh:mm:ssam  "; fails the test when a line has no stamp.
    static QString WithoutStamp(const QString& line);

private:
    std::unique_ptr<TMainForm> m_form;
};
