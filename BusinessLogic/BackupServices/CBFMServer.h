#pragma once
// Everything kept for one phone-system server: a directory named by the server ID holding
// "server.cfg" and one directory per stored backup. Decides the backup policy, names new
// backups, prunes old ones after a full backup and carries the per-server part of delete,
// size, export and import.
//
// An object is a snapshot of server.cfg; each change re-reads the file and saves only the
// field it changes, so two objects for one server (service and window) do not undo each
// other's changes.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CBFMBackup;
class CRand;

class CBFMServer {
public:
    enum TForceFullType : std::uint8_t { Days = 0, Incrementals = 1, Never = 2 };

    // Result codes of ExportBackup and ImportBackup.
    enum EResult : int {
        ResultSuccess = 0,
        ResultFailure = 1,
        ResultNotOneBackup = 3,
        ResultDiskFull = 4,
        ResultAlreadyExists = 5
    };

    // New record in an existing directory; writes server.cfg with the defaults. Throws CClientExc.
    CBFMServer(const std::string& directory, const std::string& serverID);
    // Existing record loaded from server.cfg. Throws CClientExc.
    explicit CBFMServer(const std::string& directory);
    virtual ~CBFMServer();

    CBFMServer(const CBFMServer&) = delete;
    CBFMServer& operator=(const CBFMServer&) = delete;

    std::string GetServerID() const { return m_serverID; }
    std::string GetServerName() const { return m_serverName; }
    // "Quarnex Server ID: 0001A2B3" or "<name>    Server ID: 0001A2B3".
    std::string GetDisplayName() const;
    const std::string& GetDirectory() const { return m_directory; }

    TForceFullType GetForceFullType() const { return m_forceFullType; }
    void SetForceFullType(TForceFullType type);
    std::int32_t GetForceFullNumber() const { return m_forceFullNumber; }
    void SetForceFullNumber(std::int32_t number);
    std::int32_t GetNumOldBackupsToKeep() const { return m_numOldBackupsToKeep; }
    void SetNumOldBackupsToKeep(std::int32_t number);

    void GetAllBackups(std::vector<std::string>& backupIDs);
    bool GetCurrentBackup(std::string& backupID);
    bool GetMostRecentBackup(std::string& backupID);

    std::unique_ptr<CBFMBackup> CreateBackup();
    std::unique_ptr<CBFMBackup> GetBackup(const std::string& backupID);

    bool IsIncrementalAllowed();
    bool CommitNewFull(const std::string& backupID);
    // Leaves the server without a current backup, durably: until a commit names one again, an
    // incremental is refused and the next backup is a full one.
    bool ClearCurrentBackup();
    // Carries out the server's part of every commit in its backups that still waits for it:
    // the backup becomes current (after a full one, with the pruning of old backups). Oldest
    // commit first, so the newest ends current. True when nothing is left waiting.
    bool FinishCommits();
    bool DeleteBackup(const std::string& backupID);
    bool RemoveBackupDirectory(const std::string& backupID);
    bool GetBackupSize(const std::string& backupID, std::uint64_t& size);

    int ExportBackup(const std::string& exportDir, const std::string& backupID);
    // Called on the record found in an import directory.
    int ImportBackup(const std::string& destServerDir);

    // A name usable as one path component (server or backup ID): not empty, no separator,
    // not "." or "..".
    static bool IsValidComponent(const std::string& name);

private:
    enum EField { FieldForceFullType, FieldForceFullNumber, FieldNumOldBackupsToKeep, FieldCurrentBackupID };
    bool SaveField(EField field);
    bool SaveAll();
    bool NewBackupID(std::string& backupID);
    std::string BackupDir(const std::string& backupID) const;

    std::string m_directory;
    std::string m_serverID;
    std::string m_configPath;
    std::string m_serverName;
    std::int32_t m_forceFullNumber = 0;
    TForceFullType m_forceFullType = Days;
    std::int32_t m_numOldBackupsToKeep = 0;
    std::string m_currentBackupID;
    std::unique_ptr<CRand> m_rand;
};
