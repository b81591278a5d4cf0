#include "TMainForm.h"
#include "ui_TMainForm.h"

#include "CActivityLog.h"
#include "CActivityLogMemo.h"
#include "CAutostartEntry.h"
#include "CBFMRepository.h"
#include "CClientInfra.h"
#include "CIPAddrMonitor.h"
#include "CLog.h"
#include "CPlatformShell.h"
#include "CServerWatch.h"
#include "CWindowMessageEvent.h"
#include "GUIComm.h"
#include "HLKBackup.h"
#include "Platform.h"
#include "TExceptionDlg.h"
#include "TSettingsModForm.h"
#include "TrayIcon.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QShowEvent>
#include <QSystemTrayIcon>
#include <QTimer>

#include <string>

// The icon lives in the library's resources; naming them here keeps the
// linker from dropping them.
static void InitResources()
{
    Q_INIT_RESOURCE(Harborlock);
}

namespace {

constexpr int kCategoryApp = 31;
constexpr const char* kSourceFile = "Presentation/TMainForm";

} // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), ui(new Ui::TMainForm)
{
    InitResources();
    ui->setupUi(this);
    m_activityMemo = CActivityLogMemo(ui->memoActivityLog);
    ui->N1->setSeparator(true);
    setWindowIcon(QIcon(QStringLiteral(":/harborlock.svg")));
    TSettingsModForm::SetOneLineHeight(ui->memoSettingsIPAddrVal);

    popmenuActivityLog = new QMenu(this);
    popmenuActivityLog->setObjectName(QStringLiteral("popmenuActivityLog"));
    popmenuActivityLog->addAction(ui->menuitemSaveAs);
    popmenuActivityLog->addAction(ui->menuitemClear);
    popmenuActivityLog->addAction(ui->menuitemSelectAll);

    popmenuTray = new QMenu(this);
    popmenuTray->setObjectName(QStringLiteral("popmenuTray"));
    popmenuTray->addAction(ui->menuitemRestoreApp);
    popmenuTray->addAction(ui->menuitemExitApp);

    connect(ui->menuitemBackupOptions, &QAction::triggered, this, &TMainForm::menuitemBackupOptionsClick);
    connect(ui->menuitemDeleteBackup, &QAction::triggered, this, &TMainForm::menuitemDeleteBackupClick);
    connect(ui->menuitemExportBackup, &QAction::triggered, this, &TMainForm::menuitemExportBackupClick);
    connect(ui->menuitemImportBackup, &QAction::triggered, this, &TMainForm::menuitemImportBackupClick);
    connect(ui->menuitemForgetServerAddress, &QAction::triggered, this,
            &TMainForm::menuitemForgetServerAddressClick);
    connect(ui->menuitemVerifyBackups, &QAction::triggered, this, &TMainForm::menuitemVerifyBackupsClick);
    connect(ui->menuitemViewDebugLog, &QAction::triggered, this, &TMainForm::menuitemViewDebugLogClick);
    connect(ui->menuitemAboutHarborlock, &QAction::triggered, this, &TMainForm::menuitemAboutHarborlockClick);
    connect(ui->menuitemRestoreOptions, &QAction::triggered, this, &TMainForm::menuitemRestoreOptionsClick);
    connect(ui->menuitemBackupQuickStart, &QAction::triggered, this,
            &TMainForm::menuitemBackupQuickStartClick);
    connect(ui->menuitemRestoreQuickStart, &QAction::triggered, this,
            &TMainForm::menuitemRestoreQuickStartClick);
    connect(ui->btnSettingsModify, &QPushButton::clicked, this, &TMainForm::btnSettingsModifyClick);
    connect(ui->menuitemSaveAs, &QAction::triggered, this, &TMainForm::menuitemSaveAsClick);
    connect(ui->menuitemClear, &QAction::triggered, this, &TMainForm::menuitemClearClick);
    connect(ui->menuitemSelectAll, &QAction::triggered, this, &TMainForm::menuitemSelectAllClick);
    connect(ui->menuitemRestoreApp, &QAction::triggered, this, &TMainForm::menuitemRestoreAppClick);
    connect(ui->menuitemExitApp, &QAction::triggered, this, &TMainForm::menuitemExitAppClick);
    connect(ui->memoActivityLog, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { popmenuActivityLog->popup(ui->memoActivityLog->mapToGlobal(pos)); });

    // "Open" is offered only while the window is hidden in the tray.
    connect(popmenuTray, &QMenu::aboutToShow, this,
            [this] { ui->menuitemRestoreApp->setVisible(IsMinimizedToTray()); });
    ui->menuitemRestoreApp->setVisible(false);

    // Creation handler: the tray icon with its menu.
    m_trayIcon = AddTrayIcon(this, windowIcon(), ::CM_NotifyIcon, "Harborlock", popmenuTray);

    m_serverWatch = new CServerWatch(this, ui->menuitemBackup, [this]() -> CBFMRepository* {
        return m_service.IsRepositoryOpen() ? Repository() : nullptr;
    });
}

TMainForm::~TMainForm()
{
    // A window destroyed without being closed still stops what it started.
    if (m_shown && !m_closed) {
        m_closed = true;
        FormClose();
    }
    RemoveTrayIcon(this);
    m_trayIcon = nullptr;
    delete ui;
}

bool TMainForm::Post(unsigned message, intptr_t lParam)
{
    // postEvent is thread-safe and takes ownership of the event.
    QCoreApplication::postEvent(this, new CWindowMessageEvent(message, lParam));
    return true;
}

bool TMainForm::event(QEvent* e)
{
    if (CWindowMessageEvent::IsWindowMessage(e)) {
        auto* msg = static_cast<CWindowMessageEvent*>(e);
        // The handler owns the payload from here on.
        msg->SetHandled();
        DispatchMessage(msg->Message(), msg->LParam());
        return true;
    }
    return QMainWindow::event(e);
}

void TMainForm::DispatchMessage(unsigned message, intptr_t lParam)
{
    m_serverWatch->Observe(message, lParam);
    switch (message) {
    case ::CM_NotifyIcon: CM_NotifyIcon(lParam); break;
    case ::CM_HLKBackupStarted: CM_HLKBackupStarted(lParam); break;
    case ::CM_HLKProgress: CM_HLKProgress(lParam); break;
    case ::CM_HLKBackupTransferDone: CM_HLKBackupTransferDone(lParam); break;
    case ::CM_HLKSaveBackupStarted: CM_HLKSaveBackupStarted(lParam); break;
    case ::CM_HLKSaveBackupDone: CM_HLKSaveBackupDone(lParam); break;
    case ::CM_HLKServiceFailed: CM_HLKServiceFailed(lParam); break;
    case ::CM_HLKError: CM_HLKError(lParam); break;
    case ::CM_HLKInsufficientDiskSpace: CM_HLKInsufficientDiskSpace(lParam); break;
    case ::CM_HLKPromptForRestore: CM_HLKPromptForRestore(lParam); break;
    case ::CM_HLKRestoreStarted: CM_HLKRestoreStarted(lParam); break;
    case ::CM_HLKRestoreDone: CM_HLKRestoreDone(lParam); break;
    case ::CM_HLKExportStarted: CM_HLKExportStarted(lParam); break;
    case ::CM_HLKExportDone: CM_HLKExportDone(lParam); break;
    case ::CM_HLKImportStarted: CM_HLKImportStarted(lParam); break;
    case ::CM_HLKImportDone: CM_HLKImportDone(lParam); break;
    case ::CM_HLKBackupInitiated: CM_HLKBackupInitiated(lParam); break;
    case ::CM_HLKBackupNotSaved: CM_HLKBackupNotSaved(lParam); break;
    case ::CM_HLKPeerRefused: CM_HLKPeerRefused(lParam); break;
    case ::CM_HLKVerifyStarted:
    case ::CM_HLKVerifyResult:
    case ::CM_HLKVerifyDone: CM_HLKVerify(message, lParam); break;
    case ::CM_IPAddrChanged: CM_IPAddrChanged(lParam); break;
    default: GUIComm::FreePayload(message, lParam); break;
    }
}

// ---------------------------------------------------------------------------
// Show and close

void TMainForm::showEvent(QShowEvent* e)
{
    QMainWindow::showEvent(e);
    if (!m_shown) {
        m_shown = true;
        TExceptionDlg::Guard("TMainForm::FormShow", kSourceFile, __LINE__, [this] { FormShow(); });
    }
}

void TMainForm::closeEvent(QCloseEvent* e)
{
    if (m_modalDepth > 0) {
        // Exit from the tray while a dialog of the window runs (the restore prompt with a
        // service worker waiting for its answer): reject every open dialog first and close
        // once their handlers have returned, so that the service is stopped once, with nobody
        // waiting, and nothing a handler does after its dialog starts it again.
        m_closeRequested = true;
        RejectOpenDialogs();
        e->ignore();
        return;
    }
    RejectOpenDialogs();
    if (m_shown && !m_closed) {
        m_closed = true;
        TExceptionDlg::Guard("TMainForm::FormClose", kSourceFile, __LINE__, [this] { FormClose(); });
    }
    QMainWindow::closeEvent(e);
}

void TMainForm::FormShow()
{
    AppEventsRestore();
    m_service.Connect(this);
    AssignCaptions();

    m_activityMemo.Clear();
    TExceptionDlg::Guard("TMainForm::LoadActivityLog", kSourceFile, __LINE__, [this] { LoadActivityLog(); });
    OpenActivityLogFile();

    RefreshIPAddressDisplay();
    SetIdleStatus();

    // An unusable backup folder leaves the window working: the user reads why
    // in the activity log and picks another folder with "Modify", which opens
    // the repository and starts the service.
    if (OpenRepository())
        StartBackupService();

    m_service.StartWorkQueue();
    m_serverWatch->Start(GetConfigFilePath());

    if (!m_ipAddrMonitor)
        m_ipAddrMonitor = new CIPAddrMonitor(this);
}

int TMainForm::RunModal(QDialog& dialog)
{
    if (m_closeRequested || m_closed)
        return QDialog::Rejected;
    ++m_modalDepth;
    const int result = dialog.exec();
    --m_modalDepth;
    if (m_closeRequested) {
        if (m_modalDepth == 0)
            QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return QDialog::Rejected;
    }
    return result;
}

void TMainForm::RejectOpenDialogs()
{
    // Top down: each rejected dialog leaves the modal stack at once.
    while (QWidget* modal = QApplication::activeModalWidget()) {
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (!dialog)
            break;
        dialog->reject();
        if (dialog->isVisible())
            break;
    }
}

void TMainForm::ErrorBox(const std::string& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Error"), QString::fromStdString(text),
                    QMessageBox::Ok, this);
    RunModal(box);
}

bool TMainForm::RefuseWhileBusy(const char* what)
{
    if (!m_busy)
        return false;
    ErrorBox(std::string(what) +
             " is not possible while a backup, restore, export or import is running.  Try again when the "
             "state is Idle.");
    return true;
}

bool TMainForm::OpenRepository()
{
    std::string reason;
    if (m_service.OpenRepository(m_settings.Folder(), reason))
        return true;
    LogActivity("Unable to use backup folder " + m_settings.Folder() + ": " + reason +
                "  Choose another backup folder with Modify.");
    return false;
}

CBFMRepository* TMainForm::Repository() const
{
    return CBFMRepository::GetInstance(m_settings.Folder().c_str());
}

void TMainForm::FormClose()
{
    m_serverWatch->Stop();
    delete m_ipAddrMonitor;
    m_ipAddrMonitor = nullptr;

    if (!m_service.Stop())
        LogActivity("Error stopping backup service");
    CloseActivityLogFile();
}

void TMainForm::AssignCaptions()
{
    setWindowTitle(QStringLiteral("Quarnex Harborlock"));
    ui->gbStatus->setTitle(QStringLiteral("Current Status"));
    ui->lbStatusStateDesc->setText(QStringLiteral("State:"));
    ui->lbStatusSizeDesc->setText(QStringLiteral("Size:"));
    ui->lbStatusProgress->setText(QStringLiteral("Progress:"));
    ui->gbSettings->setTitle(QStringLiteral("Current Settings"));
    ui->lbSettingsIPPortDesc->setText(QStringLiteral("TCP/IP Port:"));
    ui->lbSettingsFolderDesc->setText(QStringLiteral("Backup Folder:"));
    ui->lbSettingsIPAddrDesc->setText(QStringLiteral("PC IP Address:"));
    ui->btnSettingsModify->setText(QStringLiteral("Modify"));
    ui->gbActivityLog->setTitle(QStringLiteral("Activity Log"));
    ui->menuitemSaveAs->setText(QStringLiteral("Save As"));
    ui->menuitemClear->setText(QStringLiteral("Clear"));
    ui->menuitemSelectAll->setText(QStringLiteral("Select All"));
    ui->menuitemRestoreApp->setText(QStringLiteral("Open"));
    ui->menuitemExitApp->setText(QStringLiteral("Exit"));
    ui->menuitemBackup->setTitle(QStringLiteral("Backup"));
    ui->menuitemBackupOptions->setText(QStringLiteral("Backup Options"));
    ui->menuitemDeleteBackup->setText(QStringLiteral("Delete Backup"));
    ui->menuitemExportBackup->setText(QStringLiteral("Export Backup"));
    ui->menuitemImportBackup->setText(QStringLiteral("Import Backup"));
    ui->menuitemForgetServerAddress->setText(QStringLiteral("Forget Server Address..."));
    ui->menuitemVerifyBackups->setText(QStringLiteral("Verify Backups"));
    ui->menuitemRestore->setTitle(QStringLiteral("Restore"));
    ui->menuitemRestoreOptions->setText(QStringLiteral("Restore Options"));
    ui->menuitemMisc->setTitle(QStringLiteral("Miscellaneous"));
    ui->menuitemViewDebugLog->setText(QStringLiteral("View debug log"));
    ui->menuitemHelp->setTitle(QStringLiteral("Help"));
    ui->menuitemBackupQuickStart->setText(QStringLiteral("Backup Quick Start Guide"));
    ui->menuitemRestoreQuickStart->setText(QStringLiteral("Restore Quick Start Guide"));
    ui->menuitemAboutHarborlock->setText(QStringLiteral("About Harborlock"));
}

// ---------------------------------------------------------------------------
// Status and busy state

void TMainForm::SetBusy(bool busy)
{
    m_busy = busy;
    const bool enabled = !busy;
    ui->btnSettingsModify->setEnabled(enabled);
    ui->menuitemBackupOptions->setEnabled(enabled);
    ui->menuitemRestoreOptions->setEnabled(enabled);
    ui->menuitemDeleteBackup->setEnabled(enabled);
    ui->menuitemImportBackup->setEnabled(enabled);
    ui->menuitemExportBackup->setEnabled(enabled);
}

bool TMainForm::IsMinimizedToTray() const
{
    return m_minimizedToTray;
}

void TMainForm::SetIdleStatus()
{
    m_activity.SetIdleStatus();
    ShowStatus();
}

void TMainForm::ShowSizePair(bool show)
{
    ui->lbStatusSizeDesc->setVisible(show);
    ui->lbStatusSizeVal->setVisible(show);
}

void TMainForm::ShowProgressPair(bool show)
{
    ui->lbStatusProgress->setVisible(show);
    ui->progbarStatus->setVisible(show);
}

// ---------------------------------------------------------------------------
// Tray

void TMainForm::changeEvent(QEvent* e)
{
    QMainWindow::changeEvent(e);
    if (e->type() != QEvent::WindowStateChange)
        return;
    const auto* change = static_cast<QWindowStateChangeEvent*>(e);
    if (isMinimized())
        AppEventsMinimize();
    else if (change->oldState() & Qt::WindowMinimized)
        AppEventsRestore();
}

void TMainForm::AppEventsMinimize()
{
    // Without a tray there would be no way back to a hidden window: it then
    // stays an ordinary minimised window.
    if (!m_trayIcon || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_minimizedToTray = true;
    ui->menuitemRestoreApp->setVisible(true);
    QTimer::singleShot(0, this, [this] {
        if (m_minimizedToTray)
            hide();
    });
}

void TMainForm::AppEventsRestore()
{
    m_minimizedToTray = false;
    ui->menuitemRestoreApp->setVisible(false);
}

void TMainForm::CM_NotifyIcon(intptr_t lParam)
{
    TExceptionDlg::Guard("TMainForm::CM_NotifyIcon", kSourceFile, __LINE__, [this, lParam] {
        // The right-click menu is the icon's own; the tray shows it.
        if (lParam == WM_LBUTTONDBLCLK_Msg)
            menuitemRestoreAppClick();
    });
}

void TMainForm::menuitemRestoreAppClick()
{
    AppEventsRestore();
    showNormal();
    raise();
    activateWindow();
}

void TMainForm::menuitemExitAppClick()
{
    close();
}

// ---------------------------------------------------------------------------
// Activity log

QString TMainForm::FormatActivityTimeStamp(const QDateTime& when)
{
    return QString::fromStdString(CActivityLog::TimeStamp(static_cast<std::time_t>(when.toSecsSinceEpoch())));
}

std::string TMainForm::GetActivityLogPath() const
{
    return CActivityLog::PathIn(CClientInfra::GetInstance(nullptr)->GetSubDir(CClientInfra::SUBDIR_LOG));
}

void TMainForm::LoadActivityLog()
{
    m_activityMemo.Load(GetActivityLogPath());
}

void TMainForm::OpenActivityLogFile()
{
    if (!m_activityLog.Open(GetActivityLogPath()))
        CLog::Error(kCategoryApp, "TMainForm::OpenActivityLogFile(): fopen() failed\n");
}

void TMainForm::CloseActivityLogFile()
{
    m_activityLog.Close();
}

void TMainForm::LogActivity(const std::string& text)
{
    // Complete in the file (when open) before it shows: the same line, stamp included.
    m_activityMemo.Append(m_activityLog.Log(text));
}

QStringList TMainForm::ActivityLogLines() const
{
    return m_activityMemo.Lines();
}

void TMainForm::menuitemSaveAsClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemSaveAsClick", kSourceFile, __LINE__, [this] {
        QFileDialog savedlgActivityLog(this);
        savedlgActivityLog.setObjectName(QStringLiteral("savedlgActivityLog"));
        savedlgActivityLog.setAcceptMode(QFileDialog::AcceptSave);
        savedlgActivityLog.setDefaultSuffix(QStringLiteral("txt"));
        savedlgActivityLog.setNameFilter(QStringLiteral("Text File (*.txt)"));
        if (RunModal(savedlgActivityLog) != QDialog::Accepted || savedlgActivityLog.selectedFiles().isEmpty())
            return;
        SaveActivityLogTo(savedlgActivityLog.selectedFiles().first().toStdString());
    });
}

bool TMainForm::SaveActivityLogTo(const std::string& path)
{
    return m_activityMemo.SaveTo(path);
}

void TMainForm::menuitemClearClick()
{
    m_activityMemo.Clear();
}

void TMainForm::menuitemSelectAllClick()
{
    m_activityMemo.SelectAll();
}

// ---------------------------------------------------------------------------
// Settings and service

std::string TMainForm::GetConfigFilePath() const
{
    return CWindowSettings::FilePath();
}

void TMainForm::LoadSettings(std::string& port, std::string& folder)
{
    m_settings.Load();
    port = m_settings.Port();
    folder = m_settings.Folder();
}

void TMainForm::SaveSettings(const std::string& port, const std::string& folder)
{
    m_settings.Save(port, folder);
}

void TMainForm::GetHostIPAddresses(std::vector<std::string>& list)
{
    for (const std::string& address : hl::Os().IPv4Addresses())
        if (address != "127.0.0.1")
            list.push_back(address);
}

void TMainForm::RefreshIPAddressDisplay()
{
    std::vector<std::string> addresses;
    GetHostIPAddresses(addresses);
    // The settings box grows or shrinks with the memo through its layout.
    TSettingsModForm::FillIPAddrMemo(ui->memoSettingsIPAddrVal, addresses, 2);

    m_settings.Load();
    ShowSettings();
}

void TMainForm::ShowSettings()
{
    ui->lbSettingsIPPortVal->setText(QString::fromStdString(m_settings.Port()));
    ui->lbSettingsFolderVal->setText(QString::fromStdString(m_settings.Folder()));
}

void TMainForm::StartBackupService()
{
    // One rules object for the window's life: its pins and accepted prompts outlive restarts.
    if (!m_peerRules) {
        const std::string configDir =
            CClientInfra::GetInstance(nullptr)->GetSubDir(CClientInfra::SUBDIR_CONFIG);
        m_peerRules = std::make_shared<CPeerRules>(configDir + "/" + CPeerRules::kPinFileName);
    }
    m_peerRules->SetSettings(m_settings.PeerRules());
    HLKBackup::GetInstance()->SetPeerRules(m_peerRules);
    if (!m_service.StartService(m_settings.PortNumber()))
        LogActivity("Error starting backup service");
}

void TMainForm::StopBackupService()
{
    if (!m_service.StopService())
        LogActivity("Error stopping backup service");
}

void TMainForm::btnSettingsModifyClick()
{
    TExceptionDlg::Guard("TMainForm::btnSettingsModifyClick", kSourceFile, __LINE__, [this] {
        TSettingsModForm dlg(this);
        std::vector<std::string> addresses;
        GetHostIPAddresses(addresses);
        const std::string folder = m_settings.Folder();
        const std::string port = m_settings.Port();
        dlg.InitGUIWithData(addresses, port, folder);
        dlg.SetPeerRules(addresses, m_settings.PeerRules());
        CAutostartEntry autostart;
        dlg.SetStartAtLogin(autostart.IsEnabled());
        // Applying restarts the service, which would cut off a running transfer.
        if (RunModal(dlg) != QDialog::Accepted || RefuseWhileBusy("Changing the settings"))
            return;
        if (dlg.StartAtLogin() != autostart.IsEnabled() && !autostart.SetEnabled(dlg.StartAtLogin()))
            CPlatformShell::ErrorBox(this, "Unable to change the login start entry " + autostart.Path());

        std::string newPort, newFolder;
        dlg.GetData(newPort, newFolder);
        const CPeerRules::Settings oldRules = m_settings.PeerRules();
        const CPeerRules::Settings newRules = dlg.PeerRules();
        if (newPort == port && newFolder == folder && newRules == oldRules)
            return;
        m_settings.Save(newPort, newFolder, newRules);
        ShowSettings();
        // Rules count from the next connection; only another listen address needs a restart.
        if (m_peerRules)
            m_peerRules->SetSettings(newRules);
        if (newFolder != folder) {
            CBFMRepository::Release();
            OpenRepository();
            m_serverWatch->RepositoryChanged();
        }
        const bool restart =
            newPort != port || newFolder != folder || newRules.listenAddress != oldRules.listenAddress;
        if (restart && m_service.IsRepositoryOpen())
            StartBackupService();
    });
}
