#include "CServerSummary.h"

#include <algorithm>
#include <memory>

#include "CBFMBackup.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "Platform.h"

namespace {
constexpr std::int64_t kSecondsPerDay = 86400;
// A directory tree deeper than this is not a backup folder; stop rather than recurse on.
constexpr int kMaxDepth = 16;

std::uint64_t TreeBytesAt(hl::Platform& os, const std::string& directory, int depth)
{
    std::vector<std::string> names;
    if (depth > kMaxDepth || !os.ListDirectory(directory, names))
        return 0;
    std::uint64_t total = 0;
    for (const std::string& name : names) {
        const std::string path = hl::JoinPath(directory, name);
        bool isLink = false;
        // A link is not followed: what it points at is not this server's to free.
        if (!os.QuerySymbolicLink(path, isLink) || isLink)
            continue;
        if (os.DirectoryExists(path)) {
            total += TreeBytesAt(os, path, depth + 1);
        } else {
            const std::int64_t size = os.FileSize(path);
            if (size > 0)
                total += std::uint64_t(size);
        }
    }
    return total;
}
} // namespace

std::vector<TServerSummary> CServerSummary::Collect(CBFMRepository& repository)
{
    std::vector<std::string> ids;
    repository.GetAllServers(ids);
    std::vector<TServerSummary> out;
    for (const std::string& id : ids) {
        std::unique_ptr<CBFMServer> server = repository.GetServer(id);
        if (!server)
            continue;
        TServerSummary summary;
        summary.serverID = server->GetServerID();
        summary.serverName = server->GetServerName();
        summary.displayName = server->GetDisplayName();
        server->GetCurrentBackup(summary.currentBackupID);

        std::vector<std::string> backupIDs;
        server->GetAllBackups(backupIDs);
        for (const std::string& backupID : backupIDs) {
            std::unique_ptr<CBFMBackup> backup = server->GetBackup(backupID);
            if (!backup)
                continue;
            const std::int64_t image = backup->GetBFMFileSize(CBFMBackup::BackupFile);
            if (image < 0)
                continue;
            if (summary.backupCount == 0 || backup->LastBackupDate() > summary.lastBackupDate)
                summary.lastBackupDate = backup->LastBackupDate();
            ++summary.backupCount;
            summary.imageBytes += std::uint64_t(image);
        }
        summary.diskBytes = TreeBytes(server->GetDirectory());
        out.push_back(std::move(summary));
    }
    std::sort(out.begin(), out.end(),
              [](const TServerSummary& a, const TServerSummary& b) { return a.serverID < b.serverID; });
    return out;
}

std::uint64_t CServerSummary::TreeBytes(const std::string& directory)
{
    return TreeBytesAt(hl::Os(), directory, 0);
}

std::int64_t CServerSummary::DaysSinceLastBackup(const TServerSummary& summary, std::int64_t now)
{
    if (summary.backupCount == 0 || now <= std::int64_t(summary.lastBackupDate))
        return 0;
    return (now - std::int64_t(summary.lastBackupDate)) / kSecondsPerDay;
}

CServerSummary::EState CServerSummary::StateAt(const TServerSummary& summary, std::int64_t now, int warnDays)
{
    if (summary.backupCount == 0)
        return StateNoBackups;
    if (warnDays <= 0)
        return StateOK;
    // Quiet once more than warnDays whole days have passed since the last backup.
    return now - std::int64_t(summary.lastBackupDate) > std::int64_t(warnDays) * kSecondsPerDay ? StateOverdue
                                                                                                : StateOK;
}

std::string CServerSummary::StateText(EState state, int warnDays)
{
    switch (state) {
    case StateOK: return "OK";
    case StateOverdue:
        return "No backup for more than " + std::to_string(warnDays) + (warnDays == 1 ? " day" : " days");
    case StateNoBackups: return "No backups";
    }
    return "";
}
