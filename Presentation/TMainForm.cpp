#include "TMainForm.h"
#include "ui_TMainForm.h"

#include "CWindowMessageEvent.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QShowEvent>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

// Only the five items that change the repository or the service are locked
// while a transfer runs.
constexpr int kMaxActivityLines = 10000;

} // namespace

TMainForm::TMainForm(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::TMainForm)
{
    ui->setupUi(this);
    ui->N1->setSeparator(true);

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
    connect(ui->menuitemViewDebugLog, &QAction::triggered, this, &TMainForm::menuitemViewDebugLogClick);
    connect(ui->menuitemAboutHarborlock, &QAction::triggered, this, &TMainForm::menuitemAboutHarborlockClick);
    connect(ui->menuitemRestoreOptions, &QAction::triggered, this, &TMainForm::menuitemRestoreOptionsClick);
    connect(ui->menuitemBackupQuickStart, &QAction::triggered, this, &TMainForm::menuitemBackupQuickStartClick);
    connect(ui->menuitemRestoreQuickStart, &QAction::triggered, this, &TMainForm::menuitemRestoreQuickStartClick);
    connect(ui->btnSettingsModify, &QPushButton::clicked, this, &TMainForm::btnSettingsModifyClick);
    connect(ui->menuitemSaveAs, &QAction::triggered, this, &TMainForm::menuitemSaveAsClick);
    connect(ui->menuitemClear, &QAction::triggered, this, &TMainForm::menuitemClearClick);
    connect(ui->menuitemSelectAll, &QAction::triggered, this, &TMainForm::menuitemSelectAllClick);
    connect(ui->menuitemRestoreApp, &QAction::triggered, this, &TMainForm::menuitemRestoreAppClick);
    connect(ui->menuitemExitApp, &QAction::triggered, this, &TMainForm::menuitemExitAppClick);
    connect(ui->memoActivityLog, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { popmenuActivityLog->popup(ui->memoActivityLog->mapToGlobal(pos)); });
}

TMainForm::~TMainForm()
{
    delete ui;
}

bool TMainForm::Post(unsigned message, intptr_t lParam)
{
    // postEvent is thread-safe and takes ownership of the event.
    QCoreApplication::postEvent(this, new CWindowMessageEvent(message, lParam));
    return true;
}

bool TMainForm::event(QEvent *e)
{
    if (CWindowMessageEvent::IsWindowMessage(e)) {
        auto *msg = static_cast<CWindowMessageEvent *>(e);
        DispatchMessage(msg->Message(), msg->LParam());
        return true;
    }
    return QMainWindow::event(e);
}

void TMainForm::DispatchMessage(unsigned message, intptr_t lParam)
{
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
    case ::CM_IPAddrChanged: CM_IPAddrChanged(lParam); break;
    default: break;
    }
}

// ---------------------------------------------------------------------------
// Show and close

void TMainForm::showEvent(QShowEvent *e)
{
    QMainWindow::showEvent(e);
    if (!m_shown) {
        m_shown = true;
        FormShow();
    }
}

void TMainForm::closeEvent(QCloseEvent *e)
{
    if (!m_closed) {
        m_closed = true;
        FormClose();
    }
    QMainWindow::closeEvent(e);
}

void TMainForm::FormShow()
{
    AppEventsRestore();
    AssignCaptions();
    SetIdleStatus();
    StartWorkQueue();
}

void TMainForm::FormClose()
{
    StopWorkQueue();
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
    ui->lbStatusStateVal->setText(QStringLiteral("Idle"));
    ui->lbStatusSizeVal->clear();
    ui->progbarStatus->setValue(0);
    ShowSizePair(false);
    ShowProgressPair(false);
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

void TMainForm::changeEvent(QEvent *e)
{
    QMainWindow::changeEvent(e);
}

void TMainForm::AppEventsMinimize()
{
}

void TMainForm::AppEventsRestore()
{
}

void TMainForm::CM_NotifyIcon(intptr_t)
{
}

void TMainForm::menuitemRestoreAppClick()
{
}

void TMainForm::menuitemExitAppClick()
{
    close();
}

// ---------------------------------------------------------------------------
// Activity log

std::string TMainForm::GetActivityLogPath() const
{
    return std::string();
}

void TMainForm::LoadActivityLog()
{
}

void TMainForm::OpenActivityLogFile()
{
}

void TMainForm::CloseActivityLogFile()
{
    if (m_activityLogFile) {
        std::fclose(m_activityLogFile);
        m_activityLogFile = nullptr;
    }
}

void TMainForm::LogActivity(const std::string &)
{
}

void TMainForm::menuitemSaveAsClick()
{
}

void TMainForm::menuitemClearClick()
{
    ui->memoActivityLog->clear();
}

void TMainForm::menuitemSelectAllClick()
{
    ui->memoActivityLog->setFocus();
    ui->memoActivityLog->selectAll();
}

// ---------------------------------------------------------------------------
// Settings and service

std::string TMainForm::GetConfigFilePath() const
{
    return std::string();
}

void TMainForm::LoadSettings(std::string &, std::string &)
{
}

void TMainForm::SaveSettings(const std::string &, const std::string &)
{
}

void TMainForm::GetHostIPAddresses(std::vector<std::string> &)
{
}

void TMainForm::RefreshIPAddressDisplay()
{
}

void TMainForm::StartBackupService()
{
}

void TMainForm::StopBackupService()
{
}

void TMainForm::btnSettingsModifyClick()
{
}

// ---------------------------------------------------------------------------
// Restore and help menus

void TMainForm::menuitemRestoreOptionsClick()
{
}

void TMainForm::menuitemBackupQuickStartClick()
{
}

void TMainForm::menuitemRestoreQuickStartClick()
{
}

void TMainForm::SetRestorePromptTiming(int timeoutSeconds, std::function<time_t()> clock,
                                       int tickMilliseconds)
{
    m_promptTimeoutSeconds = timeoutSeconds;
    m_promptClock = std::move(clock);
    m_promptTickMilliseconds = tickMilliseconds;
}

// ---------------------------------------------------------------------------
// Service notifications

void TMainForm::CM_HLKBackupStarted(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKBackupStarted, lParam); }
void TMainForm::CM_HLKProgress(intptr_t) {}
void TMainForm::CM_HLKBackupTransferDone(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKBackupTransferDone, lParam); }
void TMainForm::CM_HLKSaveBackupStarted(intptr_t) {}
void TMainForm::CM_HLKSaveBackupDone(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKSaveBackupDone, lParam); }
void TMainForm::CM_HLKServiceFailed(intptr_t) {}
void TMainForm::CM_HLKError(intptr_t) {}
void TMainForm::CM_HLKInsufficientDiskSpace(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKInsufficientDiskSpace, lParam); }
void TMainForm::CM_HLKPromptForRestore(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKPromptForRestore, lParam); }
void TMainForm::CM_HLKRestoreStarted(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKRestoreStarted, lParam); }
void TMainForm::CM_HLKRestoreDone(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKRestoreDone, lParam); }
void TMainForm::CM_HLKExportStarted(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKExportStarted, lParam); }
void TMainForm::CM_HLKExportDone(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKExportDone, lParam); }
void TMainForm::CM_HLKImportStarted(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKImportStarted, lParam); }
void TMainForm::CM_HLKImportDone(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKImportDone, lParam); }
void TMainForm::CM_HLKBackupInitiated(intptr_t lParam) { GUIComm::FreePayload(::CM_HLKBackupInitiated, lParam); }
void TMainForm::CM_IPAddrChanged(intptr_t) {}

// ---------------------------------------------------------------------------
// Backup menu, work queue, debug log and about box

void TMainForm::menuitemBackupOptionsClick()
{
}

void TMainForm::menuitemDeleteBackupClick()
{
}

void TMainForm::menuitemExportBackupClick()
{
}

void TMainForm::menuitemImportBackupClick()
{
}

void TMainForm::menuitemViewDebugLogClick()
{
}

void TMainForm::menuitemAboutHarborlockClick()
{
}

void TMainForm::QueueWork(CWork *item)
{
    (void)item;
}

// Show handler: create the worker if there is none.
void TMainForm::StartWorkQueue()
{
}

// Close handler: take the worker out under m_csWorker, destroy it outside.
void TMainForm::StopWorkQueue()
{
}

// End of: Backup menu, work queue, debug log and about box
// ---------------------------------------------------------------------------
