// The control-channel half of HarborlockDaemon: what harborlock-ctl can ask and how each
// answer is worded.
#include "HarborlockDaemon.h"

#include <unistd.h>

#include <algorithm>

#include "CAppSettings.h"
#include "CBFMRepository.h"
#include "CLog.h"
#include "CTimeUtil.h"
#include "CWork.h"
#include "ClientUtil.h"
#include "ControlText.h"
#include "HLKBackup.h"
#include "Platform.h"

namespace {

constexpr int kCategoryApp = 31;

// The listed backup with these IDs, or null.
const TBackupInfo* FindBackup(const std::vector<TBackupInfo>& backups, const std::string& server,
                              const std::string& backup)
{
    for (const TBackupInfo& b : backups)
        if (b.serverID == server && b.backupID == backup)
            return &b;
    return nullptr;
}

} // namespace

void HarborlockDaemon::Reply(int fd, int code, const std::string& body)
{
    m_control.Answer(fd, code, body);
}

std::string HarborlockDaemon::StatusText(bool json) const
{
    const CServiceActivity::Status& s = m_status.GetStatus();
    const int listening = HLKBackup::GetInstance()->GetPort();
    const bool transfer = !s.serverId.empty() && s.state != "Idle";
    if (json) {
        std::string out =
            "{\"state\":" + Json(s.state) + ",\"listening\":" + (listening > 0 ? "true" : "false") +
            ",\"port\":" + std::to_string(listening > 0 ? listening : CAppSettings::PortValue(m_port)) +
            ",\"folder\":" + Json(m_folder) + ",\"busy\":" + (s.busy ? "true" : "false") +
            ",\"settings\":" + Json(m_settingsPath) + ",\"transfer\":";
        if (s.state != "Idle" || s.progressShown) {
            out += "{\"server\":" + (transfer ? Json(s.serverId) : std::string("null")) +
                   ",\"size\":" + (s.sizeShown ? Json(s.sizeText) : std::string("null")) +
                   ",\"progress\":" + std::to_string(s.progress) + "}";
        } else {
            out += "null";
        }
        out += ",\"prompts\":" + std::to_string(m_prompt ? 1 : 0) + ",\"quietServers\":" + QuietText(true) +
               ",\"pid\":" + std::to_string(::getpid()) + "}\n";
        return out;
    }
    std::string out = "State: " + s.state + "\n";
    if (listening > 0)
        out += "Service: listening on TCP port " + std::to_string(listening) + "\n";
    else
        out += "Service: stopped (TCP port setting \"" + m_port + "\")\n";
    out += "Backup folder: " + m_folder + "\n";
    if (s.state != "Idle" || s.progressShown) {
        out += "Transfer:";
        if (transfer)
            out += " Quarnex Server ID " + s.serverId + ",";
        if (s.sizeShown)
            out += " " + s.sizeText + ",";
        out += " progress " + std::to_string(s.progress) + "%\n";
    }
    if (m_prompt)
        out += "Restore request waiting: see harborlock-ctl prompts\n";
    if (!m_quiet.empty())
        out += "No recent backup: " + QuietText(false) + " (see harborlock-ctl servers)\n";
    return out;
}

void HarborlockDaemon::HandleRequest(int fd, const std::vector<std::string>& request)
{
    const bool json = !request.empty() && request[0] == "json";
    const std::string command = request.size() > 1 ? request[1] : std::string();
    const std::vector<std::string> args(request.begin() + std::min<std::size_t>(2, request.size()),
                                        request.end());

    if (command == "status") {
        Reply(fd, kCtlOk, StatusText(json));
        return;
    }
    if (command == "prompts") {
        CommandPrompts(fd, json);
        return;
    }
    if (command == "accept" || command == "reject") {
        CommandAnswer(fd, json, command == "accept", args);
        return;
    }
    if (command == "pins") {
        CommandPins(fd, json);
        return;
    }
    if (command == "forget-pin") {
        CommandForgetPin(fd, json, args);
        return;
    }
    CBFMRepository* repository = m_repositoryOpen ? CBFMRepository::GetInstance(m_folder.c_str()) : nullptr;
    if (!repository) {
        Reply(fd, kCtlFailed, Message(json, "failed", "The backup folder " + m_folder + " is not open."));
        return;
    }
    if (command == "servers") {
        CommandServers(fd, json, *repository);
        return;
    }
    if (command == "backups") {
        CommandBackups(fd, json, *repository, args.empty() ? std::string() : args[0]);
        return;
    }
    if (command == "delete" || command == "export" || command == "import" || command == "verify") {
        // The window disables these while it is busy; here they are refused.
        if (m_status.GetStatus().busy || !m_workClients.empty()) {
            Reply(fd, kCtlBusy,
                  Message(json, "busy",
                          "Harborlock is busy (" + m_status.GetStatus().state +
                              "); try again when it is idle."));
            return;
        }
        if (command == "delete")
            CommandDelete(fd, json, *repository, args);
        else if (command == "export")
            CommandExport(fd, json, *repository, args);
        else if (command == "verify")
            CommandVerify(fd, json, *repository, args);
        else
            CommandImport(fd, json, args);
        return;
    }
    Reply(fd, kCtlUsage, Message(json, "usage", "Unknown command \"" + command + "\""));
}

void HarborlockDaemon::CommandPrompts(int fd, bool json)
{
    if (!m_prompt) {
        Reply(fd, kCtlOk,
              json ? std::string("{\"prompts\":[]}\n") : std::string("No restore request is waiting.\n"));
        return;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::seconds>(m_prompt->deadline - Clock::now()).count();
    std::string date;
    CTimeUtil(CTimeUtil::ToLocal(m_prompt->request.backupDate)).ToDisplayString(date);
    const std::string req = Hex8(m_prompt->request.requestSerial), bak = Hex8(m_prompt->request.backupSerial);
    if (json) {
        Reply(fd, kCtlOk,
              "{\"prompts\":[{\"id\":" + std::to_string(m_prompt->id) + ",\"requestingServer\":" + Json(req) +
                  ",\"backupServer\":" + Json(bak) + ",\"backupDate\":" +
                  std::to_string(m_prompt->request.backupDate) + ",\"backupDateText\":" + Json(date) +
                  ",\"secondsLeft\":" + std::to_string(std::max<long long>(0, left)) + "}]}\n");
    } else {
        Reply(fd, kCtlOk,
              "Restore request " + std::to_string(m_prompt->id) + ": Quarnex Server ID:" + req +
                  " asks for the backup from Quarnex Server ID:" + bak + " dated " + date + "\n" +
                  "If no response in " + std::to_string(std::max<long long>(0, left)) +
                  " seconds, then this restore request will automatically be rejected.\n");
    }
}

void HarborlockDaemon::CommandAnswer(int fd, bool json, bool accepted, const std::vector<std::string>& args)
{
    if (!m_prompt) {
        Reply(fd, kCtlFailed, Message(json, "none", "No restore request is waiting."));
        return;
    }
    if (!args.empty() && args[0] != std::to_string(m_prompt->id)) {
        Reply(fd, kCtlFailed, Message(json, "none", "Restore request " + args[0] + " is not waiting."));
        return;
    }
    const std::string line = CServiceActivity::RestoreRequestLine(m_prompt->request, accepted);
    AnswerPrompt(accepted);
    Reply(fd, kCtlOk, Message(json, accepted ? "accepted" : "rejected", line));
}

std::vector<TBackupInfo> HarborlockDaemon::SortedBackups(CBFMRepository& repository)
{
    std::vector<TBackupInfo> backups;
    repository.GetAllBackups(backups);
    CWork::SortBackupList(backups);
    return backups;
}

void HarborlockDaemon::CommandBackups(int fd, bool json, CBFMRepository& repository,
                                      const std::string& server)
{
    const std::vector<TBackupInfo> backups = SortedBackups(repository);
    std::string out = json ? "{\"backups\":[" : "";
    int count = 0;
    for (const TBackupInfo& b : backups) {
        if (!server.empty() && b.serverID != server)
            continue;
        std::uint64_t bytes = 0;
        repository.GetBackupSize(b.serverID, b.backupID, bytes);
        std::string date;
        CTimeUtil(CTimeUtil::ToLocal(b.lastBackupDate)).ToDisplayStringSeconds(date);
        if (json) {
            out += std::string(count ? "," : "") + "{\"server\":" + Json(b.serverID) +
                   ",\"backup\":" + Json(b.backupID) + ",\"name\":" + Json(b.serverName) +
                   ",\"date\":" + std::to_string(b.lastBackupDate) + ",\"dateText\":" + Json(date) +
                   ",\"sizeBytes\":" + std::to_string(bytes) +
                   ",\"description\":" + Json(CWork::GetBackupDescription(b)) + "}";
        } else {
            out += b.serverID + "  " + b.backupID + "  " + date + "  " +
                   CServiceActivity::SizeText(static_cast<std::uint32_t>(bytes / 1048576)) +
                   (b.serverName.empty() ? "" : "  " + b.serverName) + "\n";
        }
        ++count;
    }
    if (json)
        out += "]}\n";
    if (count == 0 && !server.empty()) {
        Reply(fd, kCtlFailed,
              Message(json, "none", "No backups of Quarnex Server ID " + server + " are stored."));
        return;
    }
    Reply(fd, kCtlOk, count == 0 && !json ? "There are no Harborlock backups\n" : out);
}

void HarborlockDaemon::CommandDelete(int fd, bool json, CBFMRepository& repository,
                                     const std::vector<std::string>& args)
{
    if (args.size() != 2) {
        Reply(fd, kCtlUsage, Message(json, "usage", "usage: delete SERVER BACKUP"));
        return;
    }
    const std::vector<TBackupInfo> backups = SortedBackups(repository);
    const TBackupInfo* entry = FindBackup(backups, args[0], args[1]);
    if (!entry) {
        Reply(fd, kCtlFailed,
              Message(json, "none",
                      "No backup " + args[1] + " of Quarnex Server ID " + args[0] + " is stored."));
        return;
    }
    const std::string description = CWork::GetBackupDescription(*entry);
    const bool deleted = repository.DeleteBackup(entry->serverID, entry->backupID);
    if (!deleted)
        CLog::Error(kCategoryApp, "HarborlockDaemon::Delete(): DeleteBackup() failed\n");
    const std::string line = CServiceActivity::DeleteLine(description, deleted);
    LogActivity(line);
    if (deleted)
        Reply(fd, kCtlOk, Message(json, "completed", line));
    else
        Reply(fd, kCtlFailed,
              json ? Message(true, "failed", "Unable to delete the backup")
                   : "Unable to delete the backup\n" + line + "\n");
}

void HarborlockDaemon::CommandExport(int fd, bool json, CBFMRepository& repository,
                                     const std::vector<std::string>& args)
{
    if (args.size() != 4) {
        Reply(fd, kCtlUsage, Message(json, "usage", "usage: export SERVER BACKUP FOLDER NAME"));
        return;
    }
    const std::vector<TBackupInfo> backups = SortedBackups(repository);
    const TBackupInfo* entry = FindBackup(backups, args[0], args[1]);
    const std::string& folder = args[2];
    const std::string& name = args[3];
    std::string refusal;
    if (!entry)
        refusal = "No backup " + args[1] + " of Quarnex Server ID " + args[0] + " is stored.";
    else if (name.empty())
        refusal = "No export name is specified";
    else if (folder.empty())
        refusal = "No export folder is specified";
    else if (!hl::Os().PathExists(folder))
        refusal = "The export folder doesn't exist";
    else if (!ClientUtil::IsDirWritable(folder))
        refusal = "The export folder is not writeable";
    else if (hl::Os().PathExists(folder + "/" + name))
        refusal = "The export name is invalid.\n" + folder + "/" + name + " already exists.";
    if (!refusal.empty()) {
        Reply(fd, kCtlFailed, Message(json, "refused", refusal));
        return;
    }
    m_workClients.push_back({fd, json, true, -1});
    m_worker->Put(new CWork(CWork::TypeExport, folder + "/" + name, *entry));
}

void HarborlockDaemon::CommandImport(int fd, bool json, const std::vector<std::string>& args)
{
    if (args.size() != 1) {
        Reply(fd, kCtlUsage, Message(json, "usage", "usage: import FOLDER"));
        return;
    }
    std::string refusal;
    if (args[0].empty())
        refusal = "No import folder is specified";
    else if (!hl::Os().PathExists(args[0]))
        refusal = "The import folder doesn't exist";
    if (!refusal.empty()) {
        Reply(fd, kCtlFailed, Message(json, "refused", refusal));
        return;
    }
    m_workClients.push_back({fd, json, false, -1});
    m_worker->Put(new CWork(CWork::TypeImport, args[0]));
}

void HarborlockDaemon::CommandVerify(int fd, bool json, CBFMRepository& repository,
                                     const std::vector<std::string>& args)
{
    if (args.size() > 1) {
        Reply(fd, kCtlUsage, Message(json, "usage", "usage: verify [SERVER]"));
        return;
    }
    const std::string server = args.empty() ? std::string() : args[0];
    if (!server.empty()) {
        const std::vector<TBackupInfo> backups = SortedBackups(repository);
        if (std::none_of(backups.begin(), backups.end(),
                         [&](const TBackupInfo& b) { return b.serverID == server; })) {
            Reply(fd, kCtlFailed,
                  Message(json, "none", "No backups of Quarnex Server ID " + server + " are stored."));
            return;
        }
    }
    WaitingClient client{fd, json, false, -1};
    client.isVerify = true;
    m_workClients.push_back(client);
    m_worker->Put(new CWork(CWork::TypeVerify, server));
}
