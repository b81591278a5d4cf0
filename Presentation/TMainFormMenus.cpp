// TMainForm, its menus: the backup and restore dialogs, the work queue, the help, debug-log
// and about entries. (The window's other jobs are in TMainForm.cpp and
// TMainFormNotifications.cpp.)
#include "TMainForm.h"
#include "ui_TMainForm.h"

#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "CLog.h"
#include "CPlatformShell.h"
#include "CServerWatch.h"
#include "CServiceActivity.h"
#include "CWork.h"
#include "TAboutBox.h"
#include "TBackupOptionsForm.h"
#include "TDeleteBackupForm.h"
#include "TExceptionDlg.h"
#include "TExportBackupForm.h"
#include "TImportBackupForm.h"
#include "TRestoreOptionsForm.h"
#include "TViewDebugLogForm.h"

#include <QCoreApplication>
#include <QInputDialog>
#include <QStringList>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kCategoryApp = 31;
constexpr const char* kSourceFile = "Presentation/TMainForm";

} // namespace

// ---------------------------------------------------------------------------
// Backup menu, work queue, debug log and about box

void TMainForm::menuitemBackupOptionsClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemBackupOptionsClick", kSourceFile, __LINE__, [this] {
        TBackupOptionsForm form(this);
        std::vector<SmartPtr<CBFMServer>> servers;
        Repository()->GetAllServers(servers);
        form.InitGUIWithData(servers);
        if (RunModal(form) != QDialog::Accepted || RefuseWhileBusy("Changing the backup options"))
            return;
        int index = -1, number = 1, type = 0, keep = 0;
        form.GetData(index, number, type, keep);
        if (index < 0 || index >= static_cast<int>(servers.size()))
            return;
        CBFMServer& server = *servers[static_cast<std::size_t>(index)];
        server.SetForceFullNumber(number);
        server.SetForceFullType(static_cast<CBFMServer::TForceFullType>(type));
        server.SetNumOldBackupsToKeep(keep);
    });
}

void TMainForm::menuitemDeleteBackupClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemDeleteBackupClick", kSourceFile, __LINE__, [this] {
        TDeleteBackupForm form(this);
        CBFMRepository* repository = Repository();
        std::vector<TBackupInfo> backups;
        repository->GetAllBackups(backups);
        CWork::SortBackupList(backups);
        form.InitGUIWithData(backups);
        if (RunModal(form) != QDialog::Accepted || RefuseWhileBusy("Deleting a backup"))
            return;
        int index = -1;
        form.GetData(index);
        if (index < 0 || index >= static_cast<int>(backups.size()))
            return;
        const TBackupInfo& entry = backups[static_cast<std::size_t>(index)];
        const bool success = repository->DeleteBackup(entry.serverID, entry.backupID);
        if (!success) {
            CLog::Error(kCategoryApp, "TMainForm::menuitemDeleteBackupClick(): DeleteBackup() failed\n");
            ErrorBox("Unable to delete the backup");
        }
        LogActivity("Delete of backup \"" + CWork::GetBackupDescription(entry) + "\" " +
                    (success ? "completed successfully" : "failed"));
        m_serverWatch->RepositoryChanged();
    });
}

void TMainForm::menuitemExportBackupClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemExportBackupClick", kSourceFile, __LINE__, [this] {
        TExportBackupForm form(this);
        std::vector<TBackupInfo> backups;
        Repository()->GetAllBackups(backups);
        CWork::SortBackupList(backups);
        form.InitGUIWithData(backups);
        if (RunModal(form) != QDialog::Accepted || RefuseWhileBusy("Exporting a backup"))
            return;
        int index = -1;
        std::string path;
        form.GetData(index, path);
        if (index < 0 || index >= static_cast<int>(backups.size()))
            return;
        QueueWork(new CWork(CWork::TypeExport, path, backups[static_cast<std::size_t>(index)]));
    });
}

void TMainForm::menuitemImportBackupClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemImportBackupClick", kSourceFile, __LINE__, [this] {
        TImportBackupForm form(this);
        if (RunModal(form) != QDialog::Accepted || RefuseWhileBusy("Importing a backup"))
            return;
        std::string folder;
        form.GetData(folder);
        QueueWork(new CWork(CWork::TypeImport, folder));
    });
}

void TMainForm::menuitemVerifyBackupsClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemVerifyBackupsClick", kSourceFile, __LINE__, [this] {
        // While a verify runs the item cancels it (the text says so).
        if (m_activity.GetStatus().state == "Verifying Backups") {
            if (GUIComm* gui = GUIComm::Instance())
                gui->RequestCancel();
            return;
        }
        if (RefuseWhileBusy("Verifying the backups"))
            return;
        QueueWork(new CWork(CWork::TypeVerify, std::string()));
    });
}

void TMainForm::menuitemViewDebugLogClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemViewDebugLogClick", kSourceFile, __LINE__, [this] {
        TViewDebugLogForm form(this);
        form.InitGUIWithData(CLog::GetLogFileName());
        RunModal(form);
    });
}

void TMainForm::menuitemAboutHarborlockClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemAboutHarborlockClick", kSourceFile, __LINE__, [this] {
        // Made once (at start-up when the program made it) and never recreated.
        TAboutBox* about = findChild<TAboutBox*>(QString(), Qt::FindDirectChildrenOnly);
        if (!about)
            about = new TAboutBox(this);
        RunModal(*about);
    });
}

void TMainForm::QueueWork(CWork* item)
{
    m_service.QueueWork(item);
}

// ---------------------------------------------------------------------------
// Restore and help menus

void TMainForm::menuitemForgetServerAddressClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemForgetServerAddressClick", kSourceFile, __LINE__, [this] {
        const std::map<std::string, std::string> pins =
            m_peerRules ? m_peerRules->Pins() : std::map<std::string, std::string>();
        if (pins.empty()) {
            ErrorBox("No Quarnex server is pinned to an address.");
            return;
        }
        QStringList items;
        for (const auto& [serverId, address] : pins)
            items << QString::fromStdString(serverId + "    pinned to " + address);
        QInputDialog dlg(this);
        dlg.setObjectName(QStringLiteral("dlgForgetServerAddress"));
        dlg.setWindowTitle(QStringLiteral("Forget Server Address"));
        dlg.setLabelText(QStringLiteral(
            "A server that moved to another address is refused until its pin is forgotten; its next "
            "backup pins it again.  Forget the address of:"));
        dlg.setComboBoxItems(items);
        dlg.setComboBoxEditable(false);
        if (RunModal(dlg) != QDialog::Accepted)
            return;
        const std::string chosen = dlg.textValue().toStdString();
        const std::string serverId = chosen.substr(0, chosen.find(' '));
        if (m_peerRules->ForgetPin(serverId))
            LogActivity("Address pin of Quarnex Server ID: " + serverId + " forgotten");
        else
            ErrorBox("Unable to forget the address of Quarnex Server ID: " + serverId);
    });
}

void TMainForm::menuitemRestoreOptionsClick()
{
    TExceptionDlg::Guard("TMainForm::menuitemRestoreOptionsClick", kSourceFile, __LINE__, [this] {
        CBFMRepository* repository = Repository();
        TRestoreOptionsForm dlg(this);
        std::vector<TBackupInfo> backups;
        repository->GetAllBackups(backups);
        CWork::SortBackupList(backups);

        int index = -1;
        std::string serverID, backupID;
        if (repository->GetRestoreBackup("", serverID, backupID) && !serverID.empty() && !backupID.empty()) {
            for (size_t i = 0; i < backups.size(); ++i) {
                if (backups[i].serverID == serverID && backups[i].backupID == backupID) {
                    index = static_cast<int>(i);
                    break;
                }
            }
        }
        const bool autoSelect = repository->IsAutoSelect();

        std::vector<std::string> descriptions;
        for (const TBackupInfo& b : backups)
            descriptions.push_back(CWork::GetBackupDescription(b));
        dlg.InitGUIWithData(autoSelect, descriptions, index);
        if (RunModal(dlg) != QDialog::Accepted || RefuseWhileBusy("Changing the restore options"))
            return;

        bool newAuto = false;
        int newIndex = -1;
        dlg.GetData(newAuto, newIndex);
        if (!autoSelect && newAuto)
            repository->SetAutoSelect();
        if (!newAuto && newIndex != index && newIndex >= 0 && newIndex < static_cast<int>(backups.size()))
            repository->SetRestoreBackup(backups[newIndex].serverID, backups[newIndex].backupID);
    });
}

void TMainForm::OpenQuickStartGuide(const char* fileName)
{
    const QString dir = QCoreApplication::applicationDirPath();
    CPlatformShell shell;
    shell.Launch(dir.toStdString() + "/" + fileName, true);
}

void TMainForm::menuitemBackupQuickStartClick()
{
    OpenQuickStartGuide("BackupQuickStart.pdf");
}

void TMainForm::menuitemRestoreQuickStartClick()
{
    OpenQuickStartGuide("RestoreQuickStart.pdf");
}

void TMainForm::SetRestorePromptTiming(int timeoutSeconds, std::function<time_t()> clock,
                                       int tickMilliseconds)
{
    m_promptTimeoutSeconds = timeoutSeconds;
    m_promptClock = std::move(clock);
    m_promptTickMilliseconds = tickMilliseconds;
}
