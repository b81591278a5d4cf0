#pragma once
// CWork: one export, import or verify request, created on the window thread, queued for the
// background worker ("GUIWorker"), executed and deleted there. It reaches the window only
// through GUIComm notifications.

#include "CBFMRepository.h"

#include <cstdint>
#include <string>
#include <vector>

class CWork {
public:
    enum : std::uint8_t { TypeExport = 0, TypeImport = 1, TypeVerify = 2 };

    // Export: path is the destination; import: the folder to import; verify: the one server ID
    // whose backups are checked, or empty for every backup.
    CWork(std::uint8_t type, std::string path, TBackupInfo backup = TBackupInfo());
    virtual ~CWork() = default;

    // Runs the request against the repository and reports start, errors and completion.
    void Execute();

    std::uint8_t GetType() const { return m_type; }
    const std::string& GetPath() const { return m_path; }
    const TBackupInfo& GetBackup() const { return m_backup; }

    // The one-line text naming a backup in lists, log lines and notifications:
    // "<name>    " or "Quarnex ", "Server ID: <id>    ", then the local backup date.
    static std::string GetBackupDescription(const TBackupInfo& backup);
    // Order of every backup list shown to the user: server ID byte-wise, then date.
    static void SortBackupList(std::vector<TBackupInfo>& backups);

    // Error codes notified for the repository's export and import result codes.
    static int ExportErrorCode(int result);
    static int ImportErrorCode(int result);

private:
    void ExecuteExport();
    void ExecuteImport();
    void ExecuteVerify();

    std::uint8_t m_type;
    std::string m_path;
    TBackupInfo m_backup;
};
