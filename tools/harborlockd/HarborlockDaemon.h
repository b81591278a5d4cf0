// HarborlockDaemon: the backup service of Harborlock without a window.
//
// It starts and stops in the window's order (notification sender, activity log, settings,
// backup folder, service, work queue; and back), does with each notification what the window
// does (status, activity-log lines), asks restore questions through the control channel and
// answers them with "rejected" when no answer comes in time, and runs exports and imports on
// the same kind of work queue. SIGTERM and SIGINT stop it; SIGHUP reads the settings again.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CActivityLog.h"
#include "CBFMRepository.h"
#include "CPeerRules.h"
#include "CServiceActivity.h"
#include "CWork.h"
#include "ControlServer.h"
#include "DaemonWindow.h"
#include "OS_CFolderLock.h"
#include "OS_CPCQ_Executer.h"

// Exit codes of harborlockd.
enum : int {
    kExitStopped = 0,     // stopped by SIGTERM or SIGINT
    kExitInternal = 1,    // data root, debug log or another unexpected failure
    kExitUsage = 2,       // bad command line
    kExitFolderInUse = 3, // another Harborlock serves the backup folder
    kExitFolder = 4,      // the backup folder cannot be used
    kExitService = 5,     // the backup service did not start (port in use, ...)
    kExitControl = 6,     // the control channel cannot be opened
};

// Exit codes of harborlock-ctl, sent by the daemon with each answer.
enum : int {
    kCtlOk = 0,
    kCtlFailed = 1, // the operation failed or was refused; the text says why
    kCtlUsage = 2,
    kCtlNoDaemon = 3, // (harborlock-ctl itself) harborlockd does not answer
    kCtlBusy = 4,     // a transfer, export or import runs; try again when idle
};

struct DaemonOptions {
    std::string settingsPath; // "" = Harborlock.cfg in the data root's Config folder
    std::string controlPath;  // "" = DefaultControlPath()
    int promptTimeoutSeconds = 90;
    // Added to the wall clock when judging whether a server went quiet: a testing aid.
    std::int64_t clockOffsetSeconds = 0;
};

class HarborlockDaemon {
public:
    HarborlockDaemon() = default;
    ~HarborlockDaemon();
    HarborlockDaemon(const HarborlockDaemon&) = delete;
    HarborlockDaemon& operator=(const HarborlockDaemon&) = delete;

    // Runs until a stop signal; returns the exit code. Stop signals must be blocked in every
    // thread before this is called (main does it first).
    int Run(const DaemonOptions& options);

private:
    using Clock = std::chrono::steady_clock;
    // As often as the window checks for quiet servers.
    static constexpr std::chrono::minutes kQuietCheckInterval{30};

    struct PendingPrompt {
        unsigned id = 0;
        HLKPromptForRestoreMsg request{};
        Clock::time_point deadline;
    };
    struct WaitingClient {
        int fd = -1;
        bool json = false;
        bool isExport = true;
        int errorCode = -1; // work-queue error reported before the done notification
        bool isVerify = false;
        std::string lines = std::string();   // a verify's activity-log lines, answered when it ends
        std::string results = std::string(); // the same as JSON objects
    };

    int Start();
    void Stop();
    void Loop();
    void ReloadSettings();

    void LogActivity(const std::string& text);
    bool StartBackupService();
    void StopBackupService();
    void Notify(const std::string& state);

    void HandleNote(const DaemonWindow::Note& note);
    void AnswerPrompt(bool accepted);
    void AnswerWorkClient(bool isExport, bool success);
    // Collects a verify's notifications for the harborlock-ctl waiting for it; answers at the end.
    void FollowVerify(const DaemonWindow::Note& note, const std::vector<std::string>& lines);

    void HandleRequest(int fd, const std::vector<std::string>& request);
    void CommandPrompts(int fd, bool json);
    void CommandAnswer(int fd, bool json, bool accepted, const std::vector<std::string>& args);
    void CommandServers(int fd, bool json, CBFMRepository& repository);

    // Peer rules: read from the settings file (pins beside it) and handed to the service;
    // true when the listen address changed, which needs a restart of the service.
    bool ReadPeerRules();
    void CommandPins(int fd, bool json);
    void CommandForgetPin(int fd, bool json, const std::vector<std::string>& args);

    // Seconds since 1970 UTC as the quiet-server check sees them.
    std::int64_t Now() const;
    // Reads the repository's summaries, logs each server that passed its "warn after N days"
    // limit since it was last announced, and remembers the quiet ones for status.
    void CheckQuietServers();
    std::string QuietText(bool json) const;
    void CommandBackups(int fd, bool json, CBFMRepository& repository, const std::string& server);
    void CommandDelete(int fd, bool json, CBFMRepository& repository, const std::vector<std::string>& args);
    void CommandExport(int fd, bool json, CBFMRepository& repository, const std::vector<std::string>& args);
    void CommandImport(int fd, bool json, const std::vector<std::string>& args);
    void CommandVerify(int fd, bool json, CBFMRepository& repository, const std::vector<std::string>& args);
    static std::vector<TBackupInfo> SortedBackups(CBFMRepository& repository);
    void Reply(int fd, int code, const std::string& body);

    std::string StatusText(bool json) const;

    DaemonOptions m_options;
    std::string m_dataRoot;
    std::string m_settingsPath;
    std::string m_port;   // as the settings file holds it
    std::string m_folder; // the backup folder being served
    std::shared_ptr<CPeerRules> m_peerRules;
    bool m_repositoryOpen = false;
    bool m_reloadPending = false;
    bool m_stopping = false;

    DaemonWindow m_window;
    CActivityLog m_activity;
    CServiceActivity m_status;
    OS_CFolderLock m_lock;
    ControlServer m_control;
    std::unique_ptr<OS_CPCQ_Executer<CWork>> m_worker;
    std::optional<PendingPrompt> m_prompt;
    unsigned m_nextPromptId = 1;
    std::deque<WaitingClient> m_workClients;
    int m_signalFd = -1;

    struct Announced {
        std::string currentBackupID;
        std::uint32_t lastBackupDate = 0;
        int warnDays = 0;
        bool operator==(const Announced&) const = default;
    };
    // Quiet servers, with the last backup and limit they were announced with: a server is
    // announced again only after a new backup or a changed limit.
    std::map<std::string, Announced> m_quiet;
    Clock::time_point m_nextQuietCheck;
};
