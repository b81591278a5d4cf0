#include "CServiceActivity.h"

#include <algorithm>
#include <cstdio>

#include "CTimeUtil.h"

namespace {

std::string Str(const char* s)
{
    return s ? std::string(s) : std::string();
}

} // namespace

std::string CServiceActivity::SizeText(std::uint32_t megabytes)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d MBytes", static_cast<int>(megabytes));
    return buf;
}

const char* CServiceActivity::ResultWord(bool success)
{
    return success ? "completed successfully" : "failed";
}

void CServiceActivity::SetIdleStatus()
{
    m_status.state = "Idle";
    m_status.sizeText.clear();
    m_status.progress = 0;
    m_status.sizeShown = false;
    m_status.progressShown = false;
    m_status.serverId.clear();
}

std::string CServiceActivity::RestoreRequestLine(const HLKPromptForRestoreMsg& request, bool accepted)
{
    char requestText[64], backupText[64];
    std::snprintf(requestText, sizeof requestText, "%08X", request.requestSerial);
    std::snprintf(backupText, sizeof backupText, "%08X", request.backupSerial);
    std::string dateText;
    CTimeUtil(CTimeUtil::ToLocal(request.backupDate)).ToDisplayString(dateText);
    return std::string("Request to restore Quarnex Server ID:") + requestText +
           " using backup from Quarnex Server ID:" + backupText + " dated " + dateText + " " +
           (accepted ? "accepted" : "rejected");
}

std::string CServiceActivity::DeleteLine(const std::string& description, bool success)
{
    return "Delete of backup \"" + description + "\" " + ResultWord(success);
}

std::vector<std::string> CServiceActivity::Apply(unsigned message, intptr_t lParam,
                                                 const std::string& backupFolder, Follow* follow)
{
    std::vector<std::string> lines;
    if (follow)
        *follow = Follow::None;
    Status& s = m_status;
    switch (message) {
    case CM_HLKBackupInitiated: {
        auto* msg = reinterpret_cast<HLKBackupInitiatedMsg*>(lParam);
        lines.push_back("Backup initated from Quarnex Server ID: " + Str(msg->serverId));
        break;
    }
    case CM_HLKBackupNotSaved: {
        auto* msg = reinterpret_cast<HLKBackupInitiatedMsg*>(lParam);
        lines.push_back("Backup from Quarnex Server ID: " + Str(msg->serverId) +
                        " could not be saved.  The next backup from this server will be a full backup.");
        break;
    }
    case CM_HLKPeerRefused: // a refused peer changes nothing but the log
        lines.push_back(Str(reinterpret_cast<HLKPeerRefusedMsg*>(lParam)->line));
        break;
    case CM_HLKBackupStarted: {
        auto* msg = reinterpret_cast<HLKBackupStartedMsg*>(lParam);
        const std::string size = SizeText(msg->sizeMB);
        s.state = "Backup File Transfer";
        s.sizeText = size;
        s.sizeShown = true;
        s.progress = 0;
        s.progressShown = true;
        s.serverId = Str(msg->serverId);
        lines.push_back("Started backup transfer from Quarnex Server ID: " + Str(msg->serverId) +
                        " of estimated size " + size);
        lines.push_back("Backup folder is " + backupFolder);
        s.busy = true;
        break;
    }
    case CM_HLKProgress: s.progress = static_cast<int>(std::min<intptr_t>(lParam, 100)); break;
    case CM_HLKBackupTransferDone: {
        auto* msg = reinterpret_cast<HLKResultMsg*>(lParam);
        s.state = "Idle";
        s.progress = 100;
        lines.push_back(std::string("Backup transfer ") + ResultWord(msg->success != 0));
        break;
    }
    case CM_HLKSaveBackupStarted:
        s.state = "Saving Backup";
        s.sizeShown = false;
        s.progress = 0;
        s.progressShown = true;
        lines.push_back("Saving backup started");
        break;
    case CM_HLKSaveBackupDone: {
        auto* msg = reinterpret_cast<HLKResultMsg*>(lParam);
        lines.push_back(std::string("Saving backup ") + ResultWord(msg->success != 0));
        s.busy = false;
        SetIdleStatus();
        break;
    }
    case CM_HLKRestoreStarted: {
        auto* msg = reinterpret_cast<HLKRestoreStartedMsg*>(lParam);
        const std::string size = SizeText(msg->sizeMB);
        s.state = "Restore File Transfer";
        s.sizeText = size;
        s.sizeShown = true;
        s.progress = 0;
        s.progressShown = true;
        s.serverId = Str(msg->serverId);
        lines.push_back("Started restore transfer to " + Str(msg->serverId) + " of estimated size " + size);
        s.busy = true;
        break;
    }
    case CM_HLKRestoreDone: {
        auto* msg = reinterpret_cast<HLKResultMsg*>(lParam);
        lines.push_back(std::string("Restore transfer ") + ResultWord(msg->success != 0));
        s.busy = false;
        SetIdleStatus();
        break;
    }
    case CM_HLKExportStarted: {
        auto* msg = reinterpret_cast<HLKExportStartedMsg*>(lParam);
        const std::string size = SizeText(msg->sizeMB);
        s.state = "Backup File Export";
        s.sizeText = size;
        s.sizeShown = true;
        s.progress = 0;
        s.progressShown = true;
        lines.push_back("Export of backup \"" + Str(msg->description) + "\" to " + Str(msg->destination) +
                        " " + " of size " + size + " " + "started");
        s.busy = true;
        break;
    }
    case CM_HLKExportDone: {
        auto* msg = reinterpret_cast<HLKExportDoneMsg*>(lParam);
        lines.push_back(std::string("Export of backup ") + ResultWord(msg->success != 0));
        s.busy = false;
        SetIdleStatus();
        if (follow)
            *follow = Follow::ExportFinished;
        break;
    }
    case CM_HLKImportStarted: {
        auto* msg = reinterpret_cast<HLKImportStartedMsg*>(lParam);
        s.state = "Backup File Import";
        s.progress = 0;
        s.progressShown = true;
        lines.push_back("Import of backup from " + Str(msg->path) + " " + "started");
        s.busy = true;
        break;
    }
    case CM_HLKImportDone: {
        auto* msg = reinterpret_cast<HLKImportDoneMsg*>(lParam);
        lines.push_back(std::string("Import of backup ") + ResultWord(msg->success != 0));
        s.busy = false;
        SetIdleStatus();
        if (follow)
            *follow = Follow::ImportFinished;
        break;
    }
    case CM_HLKVerifyStarted: {
        auto* msg = reinterpret_cast<HLKVerifyStartedMsg*>(lParam);
        s.state = "Verifying Backups";
        s.sizeShown = false;
        s.progress = 0;
        s.progressShown = true;
        const std::string count = std::to_string(msg->backups) + (msg->backups == 1 ? " backup" : " backups");
        lines.push_back(msg->serverId ? "Verify of " + count +
                                            " of Quarnex Server ID: " + Str(msg->serverId) + " started"
                                      : "Verify of " + count + " started");
        s.busy = true;
        break;
    }
    case CM_HLKVerifyResult: {
        auto* msg = reinterpret_cast<HLKVerifyResultMsg*>(lParam);
        lines.push_back("Verify of backup \"" + Str(msg->description) + "\": " + Str(msg->text));
        break;
    }
    case CM_HLKVerifyDone: {
        auto* msg = reinterpret_cast<HLKVerifyDoneMsg*>(lParam);
        std::string line =
            msg->completed ? "Verify of backups completed: " : "Verify of backups cancelled after ";
        line += std::to_string(msg->whole) + " whole, " + std::to_string(msg->damaged) + " damaged, " +
                std::to_string(msg->unchecked) + " not checked";
        lines.push_back(line);
        s.busy = false;
        SetIdleStatus();
        if (follow)
            *follow = Follow::VerifyFinished;
        break;
    }
    case CM_HLKInsufficientDiskSpace: {
        auto* msg = reinterpret_cast<HLKInsufficientDiskSpaceMsg*>(lParam);
        lines.push_back(
            "Backup request from Quarnex Server ID: " + Str(msg->serverId) +
            " has insufficient disk space to perform backup.  Needed: " + std::to_string(msg->neededMB) +
            "MBytes" + ".  " + "Available: " + std::to_string(msg->availableMB) + "MBytes" + ".");
        break;
    }
    case CM_HLKError:
        lines.push_back(GUIComm::ErrorText(static_cast<int>(lParam & 0xFF)));
        s.busy = false;
        SetIdleStatus();
        break;
    case CM_HLKServiceFailed:
        lines.push_back(GUIComm::ErrorText(static_cast<int>(lParam & 0xFF)));
        s.busy = false;
        SetIdleStatus();
        if (follow)
            *follow = Follow::StopService;
        break;
    default: break;
    }
    return lines;
}
