#include "CBFMRepository.h"

#include <limits>

#include "CBFMBackup.h"
#include "CBFMServer.h"
#include "CClientExc.h"
#include "CInetHeaderParser.h"
#include "CLog.h"
#include "MakeDirPath.h"
#include "Platform.h"

namespace {

constexpr int kLogCategory = 32;
constexpr const char* kUnitPath = "BusinessLogic/BackupServices/CBFMRepository";

const char* const kConfigName = "repository.cfg";
const char* const kRestoreServerID = "RestoreBackupServerID";
const char* const kRestoreBackupID = "RestoreBackupBackupID";
const char* const kRestoreAuto = "RestoreBackupAuto";

} // namespace

std::shared_ptr<CBFMRepository> CBFMRepository::s_instance;
std::mutex CBFMRepository::s_instanceLock;

// ---- construction -----------------------------------------------------------------------

CBFMRepository::CBFMRepository(const char* rootDir)
{
    if (rootDir == nullptr || *rootDir == '\0')
        throw CClientExc("RepositoryDir is not valid.", 1234, kUnitPath, __LINE__);
    MakeDirPath(rootDir);
    m_rootDir = rootDir;
    while (m_rootDir.size() > 1 && m_rootDir.back() == '/')
        m_rootDir.pop_back();
    m_configPath = m_rootDir + "/" + kConfigName;

    CInetHeaderParser parser(m_configPath, true);
    if (parser.IsLoaded()) {
        std::int32_t autoSelect = 1;
        parser.GetParmInt(kRestoreAuto, kRestoreAuto, autoSelect);
        m_restoreAutoSelect = autoSelect != 0;
        parser.GetParmValue(kRestoreServerID, kRestoreServerID, m_restoreServerID);
        parser.GetParmValue(kRestoreBackupID, kRestoreBackupID, m_restoreBackupID);
    } else {
        CLog::Debug(kLogCategory,
                    "CBFMRepository::CBFMRepository(): Unable to read the repository configuration\n");
        if (!SaveConfig()) {
            CLog::Error(kLogCategory,
                        "CBFMRepository::CBFMRepository(): Unable to save the repository configuration\n");
            throw CClientExc("Unable to save the repository configuration\n", 1234, kUnitPath, __LINE__);
        }
    }
}

CBFMRepository::~CBFMRepository() = default;

CBFMRepository* CBFMRepository::GetInstance(const char* rootDir)
{
    std::lock_guard<std::mutex> guard(s_instanceLock);
    if (s_instance == nullptr)
        s_instance.reset(new CBFMRepository(rootDir));
    return s_instance.get();
}

std::shared_ptr<CBFMRepository> CBFMRepository::Acquire()
{
    std::lock_guard<std::mutex> guard(s_instanceLock);
    return s_instance;
}

void CBFMRepository::Release()
{
    std::shared_ptr<CBFMRepository> instance;
    {
        std::lock_guard<std::mutex> guard(s_instanceLock);
        instance = std::move(s_instance);
        s_instance.reset();
    }
    // Destroyed here unless a service thread still holds it.
}

bool CBFMRepository::SaveConfig()
{
    CInetHeaderParser parser(true);
    {
        std::lock_guard<std::recursive_mutex> guard(m_selectionLock);
        parser.AddHeader(kRestoreServerID, m_restoreServerID);
        parser.AddHeader(kRestoreBackupID, m_restoreBackupID);
        parser.AddHeaderInt(kRestoreAuto, m_restoreAutoSelect ? 1 : 0);
        // Saved under the lock too, so two changes reach the file in the order they were made.
        return CBFMBackup::SaveParameterFile(parser, m_configPath);
    }
}

std::int64_t CBFMRepository::GetFreeSpace()
{
    std::uint64_t bytes = 0;
    if (!hl::Os().FreeSpace(m_rootDir, bytes))
        return -1;
    if (bytes > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return std::numeric_limits<std::int64_t>::max();
    return std::int64_t(bytes);
}

// ---- servers ----------------------------------------------------------------------------

void CBFMRepository::GetAllServers(const std::string& directory, std::vector<std::string>& serverIDs)
{
    serverIDs.clear();
    hl::Platform& os = hl::Os();
    std::vector<std::string> names;
    if (!os.ListDirectory(directory, names))
        return;
    for (const std::string& name : names) {
        if (!CBFMServer::IsValidComponent(name) || !os.DirectoryExists(directory + "/" + name))
            continue;
        try {
            CBFMServer server(directory + "/" + name);
            CLog::Debug(kLogCategory, "CBFMRepository::GetAllServers(): found server dir %s\n", name.c_str());
            serverIDs.push_back(server.GetServerID());
        } catch (const CClientExc&) {
            // Not a server record: skipped.
        }
    }
}

void CBFMRepository::GetAllServers(std::vector<std::string>& serverIDs)
{
    GetAllServers(m_rootDir, serverIDs);
}

bool CBFMRepository::GetAllServers(std::vector<SmartPtr<CBFMServer>>& servers)
{
    servers.clear();
    std::vector<std::string> ids;
    GetAllServers(ids);
    for (const std::string& id : ids) {
        std::unique_ptr<CBFMServer> server = GetServer(id);
        if (server)
            servers.emplace_back(server.release());
    }
    return true;
}

std::unique_ptr<CBFMServer> CBFMRepository::GetServer(const std::string& directory,
                                                      const std::string& serverID)
{
    if (!CBFMServer::IsValidComponent(serverID))
        return nullptr;
    try {
        return std::make_unique<CBFMServer>(directory + "/" + serverID);
    } catch (const CClientExc&) {
        return nullptr;
    }
}

std::unique_ptr<CBFMServer> CBFMRepository::GetServer(const std::string& serverID)
{
    std::unique_ptr<CBFMServer> server = GetServer(m_rootDir, serverID);
    // A commit stopped before its server's part (a crash, a failing disk) is finished before
    // anyone reads the server's current backup.
    if (server && !server->FinishCommits())
        CLog::Warn(kLogCategory, "CBFMRepository::GetServer(): a commit in %s is still unfinished\n",
                   serverID.c_str());
    return server;
}

std::unique_ptr<CBFMServer> CBFMRepository::CreateServer(const std::string& serverID)
{
    if (!CBFMServer::IsValidComponent(serverID))
        return nullptr;
    const std::string directory = m_rootDir + "/" + serverID;
    try {
        MakeDirPath(directory);
        return std::make_unique<CBFMServer>(directory, serverID);
    } catch (const CClientExc&) {
        return nullptr;
    }
}

void CBFMRepository::GetAllBackups(std::vector<TBackupInfo>& backups)
{
    backups.clear();
    std::vector<std::string> serverIDs;
    GetAllServers(serverIDs);
    for (const std::string& serverID : serverIDs) {
        std::unique_ptr<CBFMServer> server = GetServer(serverID);
        if (!server)
            continue;
        std::vector<std::string> backupIDs;
        server->GetAllBackups(backupIDs);
        for (const std::string& backupID : backupIDs) {
            std::unique_ptr<CBFMBackup> backup = server->GetBackup(backupID);
            if (backup)
                backups.push_back(
                    TBackupInfo{serverID, backupID, server->GetServerName(), backup->LastBackupDate()});
        }
    }
}

// ---- restore selection ------------------------------------------------------------------

bool CBFMRepository::IsAutoSelect()
{
    std::lock_guard<std::recursive_mutex> guard(m_selectionLock);
    return m_restoreAutoSelect;
}

bool CBFMRepository::SetAutoSelect()
{
    std::lock_guard<std::recursive_mutex> guard(m_selectionLock);
    m_restoreAutoSelect = true;
    return SaveConfig();
}

void CBFMRepository::SetRestoreBackup(const std::string& serverID, const std::string& backupID)
{
    std::lock_guard<std::recursive_mutex> guard(m_selectionLock);
    m_restoreAutoSelect = false;
    m_restoreServerID = serverID;
    m_restoreBackupID = backupID;
    SaveConfig();
}

bool CBFMRepository::GetRestoreBackup(const std::string& requestingServerID, std::string& serverID,
                                      std::string& backupID)
{
    serverID.clear();
    backupID.clear();
    {
        std::lock_guard<std::recursive_mutex> guard(m_selectionLock);
        if (!m_restoreAutoSelect) {
            // Whatever the requesting server: a replacement server restores a chosen backup.
            serverID = m_restoreServerID;
            backupID = m_restoreBackupID;
            return true;
        }
    }
    std::unique_ptr<CBFMServer> server = GetServer(requestingServerID);
    if (!server)
        return false;
    serverID = requestingServerID;
    if (!server->GetCurrentBackup(backupID))
        server->GetMostRecentBackup(backupID);
    return !backupID.empty();
}

// ---- delete, size, export, import -------------------------------------------------------

bool CBFMRepository::DeleteBackup(const std::string& serverID, const std::string& backupID)
{
    if (serverID.empty() || backupID.empty())
        return false;
    bool result = true;
    std::unique_ptr<CBFMServer> server = GetServer(serverID);
    if (!server) {
        result = false;
    } else if (!server->DeleteBackup(backupID)) {
        CLog::Error(kLogCategory, "CBFMRepository::DeleteBackup(): Server DeleteBackup failed\n");
        result = false;
    }
    std::lock_guard<std::recursive_mutex> guard(m_selectionLock);
    if (m_restoreServerID == serverID && m_restoreBackupID == backupID) {
        SetRestoreBackup(std::string(), std::string());
        SetAutoSelect();
    }
    return result;
}

bool CBFMRepository::GetBackupSize(const std::string& serverID, const std::string& backupID,
                                   std::uint64_t& size)
{
    if (serverID.empty() || backupID.empty())
        return false;
    std::unique_ptr<CBFMServer> server = GetServer(serverID);
    if (!server)
        return false;
    if (!server->GetBackupSize(backupID, size)) {
        CLog::Error(kLogCategory, "CBFMRepository::GetBackupSize(): Server GetBackupSize failed\n");
        return false;
    }
    return true;
}

int CBFMRepository::ExportBackup(const std::string& exportDir, const std::string& serverID,
                                 const std::string& backupID)
{
    if (exportDir.empty() || serverID.empty() || backupID.empty())
        return ResultFailure;
    hl::Platform& os = hl::Os();
    if (!os.CreateDirectory(exportDir)) {
        CLog::Error(kLogCategory, "CBFMRepository::ExportBackup(): CreateDirectory failed\n");
        return ResultExportDirFailed;
    }
    std::unique_ptr<CBFMServer> server = GetServer(serverID);
    int result = ResultFailure;
    if (server) {
        result = server->ExportBackup(exportDir, backupID);
        if (result != ResultSuccess)
            CLog::Error(kLogCategory, "CBFMRepository::ExportBackup(): Server ExportBackup failed\n");
    }
    if (result != ResultSuccess) {
        // The export directory was made by this call; what the server put in it is gone already.
        const int error = hl::Platform::LastError();
        os.RemoveDirectory(exportDir);
        hl::Platform::SetLastError(error);
    }
    return result;
}

int CBFMRepository::ImportBackup(const std::string& importDir)
{
    if (importDir.empty())
        return ResultFailure;
    std::vector<std::string> ids;
    GetAllServers(importDir, ids);
    if (ids.empty()) {
        CLog::Error(kLogCategory, "CBFMRepository::ImportBackup(): No servers in import dir\n");
        return ResultNotOneBackup;
    }
    if (ids.size() > 1) {
        CLog::Error(kLogCategory, "CBFMRepository::ImportBackup(): More than 1 server in import dir\n");
        return ResultNotOneBackup;
    }
    std::unique_ptr<CBFMServer> imported = GetServer(importDir, ids.front());
    if (!imported) {
        CLog::Error(kLogCategory, "CBFMRepository::ImportBackup(): Unable to get server in import dir\n");
        return ResultNotOneBackup;
    }
    hl::Platform& os = hl::Os();
    const std::string destServerDir = m_rootDir + "/" + ids.front();
    const bool existed = os.DirectoryExists(destServerDir);
    try {
        MakeDirPath(destServerDir);
    } catch (const CClientExc&) {
        CLog::Error(kLogCategory, "CBFMRepository::ImportBackup(): Server ImportBackup() failed\n");
        return ResultFailure;
    }
    const int result = imported->ImportBackup(destServerDir);
    if (result != ResultSuccess) {
        CLog::Error(kLogCategory, "CBFMRepository::ImportBackup(): Server ImportBackup() failed\n");
        if (!existed)
            os.RemoveDirectory(destServerDir); // only succeeds when nothing is left in it
    }
    return result;
}
