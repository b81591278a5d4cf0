// The fixture of the harborlockd tests: a home, data and runtime folder of its own in the
// sandbox, harborlockd started on a served port, and harborlock-ctl and quarnex-sim run against
// it as a user runs them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TestSandbox.h"

class HarborlockdTest : public SandboxTest {
protected:
    void SetUp() override;

    std::string DataRoot() const { return dataHome + "/Quarnex/Harborlock"; }
    std::string ConfigDir() const { return dataHome + "/Quarnex/Harborlock/Config"; }
    std::string SettingsPath() const { return ConfigDir() + "/Harborlock.cfg"; }
    std::string ActivityLog() const { return ReadFile(DataRoot() + "/log/activityLog.txt"); }
    std::vector<std::string> Env() const;

    void WriteSettings(int port, const std::string& backupFolder);

    // Starts a daemon on a served port, trying another port when the one picked is taken.
    // The daemon's own output goes to <tag>.out/.err.
    bool StartDaemon(ChildProcess& child, std::vector<std::string> extra = {},
                     const std::string& tag = "daemon");
    // Spawns harborlockd and waits for its readiness line: 0 when ready, else its exit code.
    int SpawnDaemon(ChildProcess& child, std::vector<std::string> extra = {},
                    const std::string& tag = "daemon");

    // Runs harborlock-ctl; its exit code, with standard output and error in `output`.
    int Ctl(const std::string& args);
    // Runs quarnex-sim against the daemon's port; its exit code, output in `output`.
    int Sim(const std::string& args, int onPort = 0);
    // Starts quarnex-sim in the background (for conversations that wait for an answer).
    bool SimInBackground(ChildProcess& sim, const std::string& command, const std::vector<std::string>& args);

    // The service acknowledges DONE before it merges and commits; the activity log says when
    // the backup is saved and the service idle again.
    bool Saved(int backups);
    bool PromptWaiting();
    // Waits until the daemon has written `reads` "settings read" lines.
    bool SettingsRead(int reads);

    static bool Contains(const std::string& text, const std::string& part)
    {
        return text.find(part) != std::string::npos;
    }
    static int Count(const std::string& text, const std::string& part);

    std::string home, dataHome, runtime, folder, control, outPath, errPath, output;
    // Further settings lines ("Name: value\r\n"), written with the port and folder.
    std::string extraSettings;
    // "" = not started by systemd (also keeps a NOTIFY_SOCKET of the test runner away).
    std::string notifySocket;
    int port = 0;
};
