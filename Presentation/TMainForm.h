#pragma once
// The main window: status, settings, activity log, menus, tray icon, and the
// receiver of every notification that the service and the work queue post.

#include <QDateTime>
#include <QMainWindow>
#include <QStringList>

#include "CActivityLog.h"
#include "CActivityLogMemo.h"
#include "CServiceActivity.h"
#include "CServiceLifetime.h"
#include "CWindowSettings.h"
#include "GUIComm.h"
#include "WindowMessages.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QDialog;
class QMenu;
class QSystemTrayIcon;
class CBFMRepository;
class CWork;
class CIPAddrMonitor;
class CServerWatch;

namespace Ui {
class TMainForm;
}

class TMainForm : public QMainWindow, public IGUIWindow {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Thread-safe: queues a numbered message with its lParam for the window
    // thread. Never refuses while the window exists.
    bool Post(unsigned message, intptr_t lParam) override;

    void SetBusy(bool busy);
    bool IsMinimizedToTray() const;
    void SetIdleStatus();

    // Activity log
    std::string GetActivityLogPath() const;
    void LoadActivityLog();
    void OpenActivityLogFile();
    void CloseActivityLogFile();
    void LogActivity(const std::string& text);
    // "mm/dd/yy hh:nn:ssam" of a local time.
    static QString FormatActivityTimeStamp(const QDateTime& when);
    // The lines the activity log memo holds now.
    QStringList ActivityLogLines() const;
    // Writes the memo's lines (not the file) to path, replacing it.
    bool SaveActivityLogTo(const std::string& path);

    // Settings and service
    std::string GetConfigFilePath() const;
    void LoadSettings(std::string& port, std::string& folder);
    void SaveSettings(const std::string& port, const std::string& folder);
    void GetHostIPAddresses(std::vector<std::string>& list);
    void RefreshIPAddressDisplay();
    void StartBackupService();
    void StopBackupService();

    // Background work queue: takes ownership of the item.
    void QueueWork(CWork* item);

    // Restore prompt timing; tests shorten the 90 seconds and drive the clock.
    void SetRestorePromptTiming(int timeoutSeconds, std::function<time_t()> clock, int tickMilliseconds);

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;

private slots:
    // Backup menu, work queue, debug log and about box
    void menuitemBackupOptionsClick();
    void menuitemDeleteBackupClick();
    void menuitemExportBackupClick();
    void menuitemImportBackupClick();
    void menuitemForgetServerAddressClick();
    // Starts a verify of every backup on the work queue, or cancels the one running.
    void menuitemVerifyBackupsClick();
    void menuitemViewDebugLogClick();
    void menuitemAboutHarborlockClick();

    // Restore and help menus
    void menuitemRestoreOptionsClick();
    void menuitemBackupQuickStartClick();
    void menuitemRestoreQuickStartClick();

    // Settings
    void btnSettingsModifyClick();

    // Activity log popup menu
    void menuitemSaveAsClick();
    void menuitemClearClick();
    void menuitemSelectAllClick();

    // Tray
    void menuitemRestoreAppClick();
    void menuitemExitAppClick();

private:
    void FormShow();
    void FormClose();
    bool OpenRepository();
    // The repository of the current backup folder.
    CBFMRepository* Repository() const;
    // The current port and folder in their labels.
    void ShowSettings();
    void AppEventsMinimize();
    void AppEventsRestore();
    void DispatchMessage(unsigned message, intptr_t lParam);
    void AssignCaptions();
    void ShowSizePair(bool show);
    void ShowProgressPair(bool show);
    void OpenQuickStartGuide(const char* fileName);
    void ShowFailureBox(const std::string& line);
    // Message box with caption "Error", an OK button and no icon, run as RunModal runs it.
    void ErrorBox(const std::string& text);
    // Every dialog of the window runs through here, so that closing the window can wait for
    // them; answers Rejected for a dialog ended by the close.
    int RunModal(QDialog& dialog);
    void RejectOpenDialogs();
    // A dialog opened while idle and confirmed while work runs: refuses with a message
    // naming what (e.g. "Deleting a backup") and answers true.
    bool RefuseWhileBusy(const char* what);

    // Notification handlers; the service's and the work queue's go through
    // ShowServiceActivity, which logs their lines and shows the status.
    void ShowServiceActivity(unsigned message, intptr_t lParam);
    void ShowStatus();
    void CM_NotifyIcon(intptr_t lParam);
    void CM_HLKBackupStarted(intptr_t lParam);
    void CM_HLKProgress(intptr_t lParam);
    void CM_HLKBackupTransferDone(intptr_t lParam);
    void CM_HLKSaveBackupStarted(intptr_t lParam);
    void CM_HLKSaveBackupDone(intptr_t lParam);
    void CM_HLKServiceFailed(intptr_t lParam);
    void CM_HLKError(intptr_t lParam);
    void CM_HLKInsufficientDiskSpace(intptr_t lParam);
    void CM_HLKPromptForRestore(intptr_t lParam);
    void CM_HLKRestoreStarted(intptr_t lParam);
    void CM_HLKRestoreDone(intptr_t lParam);
    void CM_HLKExportStarted(intptr_t lParam);
    void CM_HLKExportDone(intptr_t lParam);
    void CM_HLKImportStarted(intptr_t lParam);
    void CM_HLKImportDone(intptr_t lParam);
    void CM_HLKBackupInitiated(intptr_t lParam);
    void CM_HLKBackupNotSaved(intptr_t lParam);
    void CM_HLKPeerRefused(intptr_t lParam);
    void CM_HLKVerify(unsigned message, intptr_t lParam);
    void CM_IPAddrChanged(intptr_t lParam);

    Ui::TMainForm* ui;
    QMenu* popmenuActivityLog = nullptr;
    QMenu* popmenuTray = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;

    CIPAddrMonitor* m_ipAddrMonitor = nullptr;
    CActivityLog m_activityLog;               // the file; the memo holds what the window shows
    CActivityLogMemo m_activityMemo{nullptr}; // memoActivityLog, set once the widgets exist
    CWindowSettings m_settings;               // the port and folder in use
    CServiceLifetime m_service;               // backup folder, service and work queue
    std::shared_ptr<CPeerRules> m_peerRules;  // shared with the service once it first starts
    CServiceActivity m_activity;              // what the status labels show
    bool m_shown = false;
    bool m_closed = false;
    bool m_minimizedToTray = false;
    bool m_busy = false;
    int m_modalDepth = 0;          // dialogs running through RunModal
    bool m_closeRequested = false; // closed while dialogs ran: close when they have returned

    int m_promptTimeoutSeconds = 90;
    int m_promptTickMilliseconds = 1000;
    std::function<time_t()> m_promptClock;

    // Servers view, quiet-server check and desktop notifications.
    CServerWatch* m_serverWatch = nullptr;
};
