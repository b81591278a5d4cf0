// TMainForm, the notifications the service and the work queue post to it. (The window's other
// jobs are in TMainForm.cpp and TMainFormMenus.cpp.)
#include "TMainForm.h"
#include "ui_TMainForm.h"

#include "CLog.h"
#include "CServiceActivity.h"
#include "GUIComm.h"
#include "TExceptionDlg.h"
#include "TRestorePromptForm.h"

#include <string>

namespace {

constexpr int kCategoryApp = 31;
constexpr const char* kSourceFile = "Presentation/TMainForm";

} // namespace

// ---------------------------------------------------------------------------
// Service notifications

// The lines and the status of a notification are CServiceActivity's (harborlockd tells the
// same); the window writes the lines and shows the status in its labels.
void TMainForm::ShowServiceActivity(unsigned message, intptr_t lParam)
{
    CServiceActivity::Follow follow = CServiceActivity::Follow::None;
    for (const std::string& line : m_activity.Apply(message, lParam, m_settings.Folder(), &follow))
        LogActivity(line);
    if (follow == CServiceActivity::Follow::StopService)
        StopBackupService();
    ShowStatus();
}

void TMainForm::ShowStatus()
{
    const CServiceActivity::Status& status = m_activity.GetStatus();
    ui->lbStatusStateVal->setText(QString::fromStdString(status.state));
    ui->lbStatusSizeVal->setText(QString::fromStdString(status.sizeText));
    ShowSizePair(status.sizeShown);
    ui->progbarStatus->setValue(status.progress);
    ShowProgressPair(status.progressShown);
    if (status.busy != m_busy)
        SetBusy(status.busy);
}

void TMainForm::CM_HLKPeerRefused(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKPeerRefused, lParam);
    GUIComm::FreePayload(::CM_HLKPeerRefused, lParam);
}

void TMainForm::CM_HLKVerify(unsigned message, intptr_t lParam)
{
    ShowServiceActivity(message, lParam);
    GUIComm::FreePayload(message, lParam);
    const bool running = m_activity.GetStatus().state == "Verifying Backups";
    ui->menuitemVerifyBackups->setText(running ? QStringLiteral("Cancel Verify Backups")
                                               : QStringLiteral("Verify Backups"));
}

void TMainForm::CM_HLKBackupNotSaved(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKBackupNotSaved, lParam);
    GUIComm::FreePayload(::CM_HLKBackupNotSaved, lParam);
}

void TMainForm::CM_HLKBackupInitiated(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKBackupInitiated, lParam);
    GUIComm::FreePayload(::CM_HLKBackupInitiated, lParam);
}

void TMainForm::CM_HLKBackupStarted(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKBackupStarted, lParam);
    GUIComm::FreePayload(::CM_HLKBackupStarted, lParam);
}

void TMainForm::CM_HLKProgress(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKProgress, lParam);
}

void TMainForm::CM_HLKBackupTransferDone(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKBackupTransferDone, lParam);
    GUIComm::FreePayload(::CM_HLKBackupTransferDone, lParam);
}

void TMainForm::CM_HLKSaveBackupStarted(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKSaveBackupStarted, lParam);
}

void TMainForm::CM_HLKSaveBackupDone(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKSaveBackupDone, lParam);
    GUIComm::FreePayload(::CM_HLKSaveBackupDone, lParam);
}

void TMainForm::CM_HLKRestoreStarted(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKRestoreStarted, lParam);
    GUIComm::FreePayload(::CM_HLKRestoreStarted, lParam);
}

void TMainForm::CM_HLKRestoreDone(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKRestoreDone, lParam);
    GUIComm::FreePayload(::CM_HLKRestoreDone, lParam);
}

void TMainForm::CM_HLKExportStarted(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKExportStarted, lParam);
    GUIComm::FreePayload(::CM_HLKExportStarted, lParam);
}

void TMainForm::CM_HLKImportStarted(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKImportStarted, lParam);
    GUIComm::FreePayload(::CM_HLKImportStarted, lParam);
}

void TMainForm::CM_HLKInsufficientDiskSpace(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKInsufficientDiskSpace, lParam);
    GUIComm::FreePayload(::CM_HLKInsufficientDiskSpace, lParam);
}

void TMainForm::CM_HLKError(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKError, lParam);
}

void TMainForm::CM_HLKServiceFailed(intptr_t lParam)
{
    ShowServiceActivity(::CM_HLKServiceFailed, lParam);
}

void TMainForm::CM_HLKExportDone(intptr_t lParam)
{
    const bool success = reinterpret_cast<HLKExportDoneMsg*>(lParam)->success != 0;
    // Idle before the box: a backup that starts while the box is open keeps its state.
    ShowServiceActivity(::CM_HLKExportDone, lParam);
    GUIComm::FreePayload(::CM_HLKExportDone, lParam);
    if (!success)
        ShowFailureBox(std::string("Export of backup ") + CServiceActivity::ResultWord(false));
}

void TMainForm::CM_HLKImportDone(intptr_t lParam)
{
    const bool success = reinterpret_cast<HLKImportDoneMsg*>(lParam)->success != 0;
    // Idle before the box: a backup that starts while the box is open keeps its state.
    ShowServiceActivity(::CM_HLKImportDone, lParam);
    GUIComm::FreePayload(::CM_HLKImportDone, lParam);
    if (!success)
        ShowFailureBox(std::string("Import of backup ") + CServiceActivity::ResultWord(false));
}

void TMainForm::ShowFailureBox(const std::string& line)
{
    ErrorBox(line + "." + "\n" + "See Activity Log for reason.");
}

void TMainForm::CM_HLKPromptForRestore(intptr_t lParam)
{
    auto* msg = reinterpret_cast<HLKPromptForRestoreMsg*>(lParam);
    const HLKPromptForRestoreMsg request = *msg;
    GUIComm::FreePayload(::CM_HLKPromptForRestore, lParam);

    // Activating a minimised window does not bring it back, with or without a tray.
    if (IsMinimizedToTray() || isMinimized())
        menuitemRestoreAppClick();
    raise();
    activateWindow();

    bool accepted = false;
    {
        TRestorePromptForm dlg(this);
        dlg.SetTiming(m_promptTimeoutSeconds, m_promptClock, m_promptTickMilliseconds);
        dlg.InitGUIWithData(request.requestSerial, request.backupSerial, request.backupDate);
        accepted = RunModal(dlg) == QDialog::Accepted;
    }

    LogActivity(CServiceActivity::RestoreRequestLine(request, accepted));

    GUIComm* comm = GUIComm::Instance();
    if (!comm || !comm->RespondToRestorePrompt(accepted)) {
        CLog::Error(kCategoryApp, "TMainForm::CM_HLKPromptForRestore(): RespondToRestorePrompt() failed\n");
        // A window on its way out starts nothing.
        if (!m_closeRequested && !m_closed)
            TExceptionDlg::Guard("TMainForm::CM_HLKPromptForRestore", kSourceFile, __LINE__,
                                 [this] { StartBackupService(); });
    }
}

void TMainForm::CM_IPAddrChanged(intptr_t)
{
    TExceptionDlg::Guard("TMainForm::CM_IPAddrChanged", kSourceFile, __LINE__,
                         [this] { RefreshIPAddressDisplay(); });
}
