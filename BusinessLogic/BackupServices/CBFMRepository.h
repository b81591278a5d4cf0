#pragma once
// The root of all stored backups (the backup folder): one directory per phone-system server
// and "repository.cfg" with the restore selection. The single entry point through which the
// service and the window reach server and backup records. Every operation reads the disk
// afresh and works on its own temporary records.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SmartPtr.h"

class CBFMServer;

struct TBackupInfo {
    std::string serverID;
    std::string backupID;
    std::string serverName;
    std::uint32_t lastBackupDate = 0;
};

class CBFMRepository {
public:
    // Result codes of ExportBackup and ImportBackup.
    enum EResult : int {
        ResultSuccess = 0,
        ResultFailure = 1,
        ResultExportDirFailed = 2,
        ResultNotOneBackup = 3,
        ResultDiskFull = 4,
        ResultAlreadyExists = 5
    };

    // Creates the root with its missing parents and loads or writes repository.cfg.
    // Throws CClientExc.
    explicit CBFMRepository(const char* rootDir);
    virtual ~CBFMRepository();

    CBFMRepository(const CBFMRepository&) = delete;
    CBFMRepository& operator=(const CBFMRepository&) = delete;

    // The process-wide instance, constructed on the first call (later roots are ignored).
    // A construction that throws keeps no instance.
    static CBFMRepository* GetInstance(const char* rootDir);
    // The instance for a thread that may outlive it (a service worker left behind by a
    // stop): the holder keeps it valid after Release. Null when none exists.
    static std::shared_ptr<CBFMRepository> Acquire();
    // Forgets the instance; it is destroyed with its last holder.
    static void Release();

    const std::string& GetRootDir() const { return m_rootDir; }

    // Bytes available to this user on the root's volume, or -1.
    std::int64_t GetFreeSpace();

    void GetAllServers(std::vector<std::string>& serverIDs);
    // The same scan on another directory (an import directory).
    static void GetAllServers(const std::string& directory, std::vector<std::string>& serverIDs);
    // Shared records for the window; always true.
    bool GetAllServers(std::vector<SmartPtr<CBFMServer>>& servers);

    // The server record, with the server's part of any unfinished commit carried out first.
    std::unique_ptr<CBFMServer> GetServer(const std::string& serverID);
    static std::unique_ptr<CBFMServer> GetServer(const std::string& directory, const std::string& serverID);
    std::unique_ptr<CBFMServer> CreateServer(const std::string& serverID);

    void GetAllBackups(std::vector<TBackupInfo>& backups);

    bool IsAutoSelect();
    bool SetAutoSelect();
    void SetRestoreBackup(const std::string& serverID, const std::string& backupID);
    bool GetRestoreBackup(const std::string& requestingServerID, std::string& serverID,
                          std::string& backupID);

    bool DeleteBackup(const std::string& serverID, const std::string& backupID);
    bool GetBackupSize(const std::string& serverID, const std::string& backupID, std::uint64_t& size);
    int ExportBackup(const std::string& exportDir, const std::string& serverID, const std::string& backupID);
    int ImportBackup(const std::string& importDir);

private:
    bool SaveConfig();

    std::string m_rootDir;
    std::string m_configPath;
    // Guards the restore selection: read on connection threads, changed on the window thread.
    std::recursive_mutex m_selectionLock;
    bool m_restoreAutoSelect = true;
    std::string m_restoreServerID;
    std::string m_restoreBackupID;

    static std::shared_ptr<CBFMRepository> s_instance;
    static std::mutex s_instanceLock;
};
