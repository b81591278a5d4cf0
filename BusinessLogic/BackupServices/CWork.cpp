#include "CWork.h"

#include "CBFMRepository.h"
#include "CLog.h"
#include "CTimeUtil.h"
#include "GUIComm.h"

#include <algorithm>

namespace {
constexpr int kLogCategory = 31;
}

CWork::CWork(std::uint8_t type, std::string path, TBackupInfo backup)
    : m_type(type), m_path(std::move(path)), m_backup(std::move(backup))
{
}

std::string CWork::GetBackupDescription(const TBackupInfo &backup)
{
    std::string text = backup.serverName.empty() ? std::string("Quarnex ") : backup.serverName + "    ";
    text += "Server ID: " + backup.serverID + "    ";
    std::string date;
    CTimeUtil(CTimeUtil::ToLocal(backup.lastBackupDate)).ToDisplayStringSeconds(date);
    return text + date;
}

void CWork::SortBackupList(std::vector<TBackupInfo> &backups)
{
    std::stable_sort(backups.begin(), backups.end(), [](const TBackupInfo &a, const TBackupInfo &b) {
        const int byServer = a.serverID.compare(b.serverID);
        if (byServer != 0)
            return byServer < 0;
        return a.lastBackupDate < b.lastBackupDate;
    });
}

int CWork::ExportErrorCode(int result)
{
    switch (result) {
    case CBFMRepository::ResultExportDirFailed: return HLK_ERR_EXPORT_DIR;
    case CBFMRepository::ResultDiskFull: return HLK_ERR_DISK_FULL;
    default: return HLK_ERR_EXPORT_INTERNAL;
    }
}

int CWork::ImportErrorCode(int result)
{
    switch (result) {
    case CBFMRepository::ResultNotOneBackup: return HLK_ERR_IMPORT_INVALID;
    case CBFMRepository::ResultDiskFull: return HLK_ERR_DISK_FULL;
    case CBFMRepository::ResultAlreadyExists: return HLK_ERR_IMPORT_EXISTS;
    default: return HLK_ERR_IMPORT_INTERNAL;
    }
}

void CWork::Execute()
{
    switch (m_type) {
    case TypeExport: ExecuteExport(); break;
    case TypeImport: ExecuteImport(); break;
    default: CLog::Error(kLogCategory, "CWork::Execute() unknown work type\n"); break;
    }
}

void CWork::ExecuteExport()
{
    // The repository in use when the item runs (the argument only matters for a first call).
    CBFMRepository *repository = CBFMRepository::GetInstance(nullptr);
    GUIComm *gui = GUIComm::Instance();
    const std::string description = GetBackupDescription(m_backup);

    std::uint64_t bytes = 0;
    if (!repository->GetBackupSize(m_backup.serverID, m_backup.backupID, bytes))
        bytes = 0;
    const auto sizeMB = static_cast<std::uint32_t>(bytes / 1048576u);
    if (gui)
        gui->NotifyExportStarted(description.c_str(), m_path.c_str(), sizeMB);

    const int result = repository->ExportBackup(m_path, m_backup.serverID, m_backup.backupID);
    if (result != CBFMRepository::ResultSuccess) {
        CLog::Error(kLogCategory, "CWork::Execute(): ExportBackup() failed\n");
        if (gui)
            gui->NotifyError(ExportErrorCode(result));
    }
    if (gui)
        gui->NotifyExportDone(result == CBFMRepository::ResultSuccess, description.c_str(), m_path.c_str());
}

void CWork::ExecuteImport()
{
    CBFMRepository *repository = CBFMRepository::GetInstance(nullptr);
    GUIComm *gui = GUIComm::Instance();
    if (gui)
        gui->NotifyImportStarted(m_path.c_str());

    const int result = repository->ImportBackup(m_path);
    if (result != CBFMRepository::ResultSuccess) {
        CLog::Error(kLogCategory, "CWork::Execute(): ImportBackup() failed\n");
        if (gui)
            gui->NotifyError(ImportErrorCode(result));
    }
    if (gui)
        gui->NotifyImportDone(result == CBFMRepository::ResultSuccess, m_path.c_str());
}
