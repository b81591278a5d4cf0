#include "CWork.h"

#include "CBFMBackup.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "CBFMVerify.h"
#include "CLog.h"
#include "CTimeUtil.h"
#include "GUIComm.h"

#include <algorithm>

namespace {
constexpr int kLogCategory = 31;
}

CWork::CWork(std::uint8_t type, std::string path, TBackupInfo backup)
    : m_type(type), m_path(std::move(path)), m_backup(std::move(backup))
{}

std::string CWork::GetBackupDescription(const TBackupInfo& backup)
{
    std::string text = backup.serverName.empty() ? std::string("Quarnex ") : backup.serverName + "    ";
    text += "Server ID: " + backup.serverID + "    ";
    std::string date;
    CTimeUtil(CTimeUtil::ToLocal(backup.lastBackupDate)).ToDisplayStringSeconds(date);
    return text + date;
}

void CWork::SortBackupList(std::vector<TBackupInfo>& backups)
{
    std::stable_sort(backups.begin(), backups.end(), [](const TBackupInfo& a, const TBackupInfo& b) {
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
    case TypeVerify: ExecuteVerify(); break;
    default: CLog::Error(kLogCategory, "CWork::Execute() unknown work type\n"); break;
    }
}

void CWork::ExecuteExport()
{
    // The repository in use when the item runs (the argument only matters for a first call).
    CBFMRepository* repository = CBFMRepository::GetInstance(nullptr);
    GUIComm* gui = GUIComm::Instance();
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
    CBFMRepository* repository = CBFMRepository::GetInstance(nullptr);
    GUIComm* gui = GUIComm::Instance();
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

void CWork::ExecuteVerify()
{
    CBFMRepository* repository = CBFMRepository::GetInstance(nullptr);
    GUIComm* gui = GUIComm::Instance();
    std::vector<TBackupInfo> all;
    repository->GetAllBackups(all);
    SortBackupList(all);
    std::vector<TBackupInfo> backups;
    std::vector<std::uint64_t> sizes;
    std::uint64_t totalBytes = 0;
    for (const TBackupInfo& backup : all) {
        if (!m_path.empty() && backup.serverID != m_path)
            continue;
        std::uint64_t bytes = 0;
        if (!repository->GetBackupSize(backup.serverID, backup.backupID, bytes))
            bytes = 0;
        backups.push_back(backup);
        sizes.push_back(bytes);
        totalBytes += bytes;
    }
    if (gui)
        gui->NotifyVerifyStarted(m_path.empty() ? nullptr : m_path.c_str(),
                                 static_cast<std::uint32_t>(backups.size()));

    std::uint32_t whole = 0, damaged = 0, unchecked = 0;
    std::uint64_t doneBytes = 0;
    int lastPercent = -1;
    bool cancelled = false;
    for (std::size_t i = 0; i < backups.size() && !cancelled; ++i) {
        const TBackupInfo& entry = backups[i];
        // Progress over all the backups of the run; the cancel flag is looked at every few MB.
        auto progress = [&](std::uint64_t done, std::uint64_t) {
            if (gui && gui->IsCancelRequested())
                return false;
            const int percent = totalBytes ? static_cast<int>((doneBytes + done) * 100 / totalBytes) : 100;
            if (gui && percent != lastPercent) {
                lastPercent = percent;
                gui->NotifyProgress(std::min(percent, 100));
            }
            return true;
        };
        CBFMVerify::Result result;
        std::unique_ptr<CBFMServer> server = repository->GetServer(entry.serverID);
        std::unique_ptr<CBFMBackup> backup = server ? server->GetBackup(entry.backupID) : nullptr;
        if (!backup) {
            // Deleted since the list was made, or no longer loading: nothing to say about it.
            CLog::Warn(kLogCategory, "CWork::Execute(): backup %s of %s is gone\n", entry.backupID.c_str(),
                       entry.serverID.c_str());
            ++unchecked;
            continue;
        }
        result = CBFMVerify::Verify(*backup, progress);
        doneBytes += sizes[i];
        if (result.verdict == CBFMVerify::Verdict::Cancelled) {
            cancelled = true;
            break;
        }
        std::string text = CBFMVerify::Describe(result);
        bool forceFull = false;
        switch (result.verdict) {
        case CBFMVerify::Verdict::Whole: ++whole; break;
        case CBFMVerify::Verdict::Damaged: {
            ++damaged;
            // An incremental merges into the current backup: a damaged one must not be built on.
            // The server record is read again: a backup may have made another one current.
            std::string current;
            std::unique_ptr<CBFMServer> fresh = repository->GetServer(entry.serverID);
            if (fresh && fresh->GetCurrentBackup(current) && current == entry.backupID) {
                forceFull = fresh->ClearCurrentBackup();
                text += forceFull ? ".  The next backup from this server will be a full backup."
                                  : ".  Unable to make the next backup from this server a full backup.";
            }
            break;
        }
        default: ++unchecked; break;
        }
        CLog::Debug(kLogCategory, "CWork::Execute(): verify of %s/%s: %s\n", entry.serverID.c_str(),
                    entry.backupID.c_str(), text.c_str());
        if (gui)
            gui->NotifyVerifyResult(static_cast<int>(result.verdict), forceFull,
                                    GetBackupDescription(entry).c_str(), text.c_str());
    }
    if (gui)
        gui->NotifyVerifyDone(!cancelled, whole, damaged, unchecked);
}
