// The known servers as harborlockd sees them: the `servers` answer, and the check that says
// when a server has gone quiet (the window's rule: announced once when it passes its limit,
// again only after a new backup or a changed limit).
#include "HarborlockDaemon.h"

#include <algorithm>
#include <cstdio>

#include "CLog.h"
#include "CServerSummary.h"
#include "CServerWatchSettings.h"
#include "CTimeUtil.h"
#include "ControlText.h"
#include "Platform.h"

namespace {

constexpr int kCategoryApp = 31;

// Sizes as people read them: "512 bytes", "1.5 KiB", "3.2 MiB", "1.0 GiB".
std::string BytesText(std::uint64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " bytes";
    const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", value, units[unit]);
    return buf;
}

std::string StateWord(CServerSummary::EState state)
{
    switch (state) {
    case CServerSummary::StateOK: return "ok";
    case CServerSummary::StateOverdue: return "overdue";
    case CServerSummary::StateNoBackups: return "none";
    }
    return "";
}

std::string QuietLine(const TServerSummary& summary, std::int64_t now)
{
    const std::int64_t days = CServerSummary::DaysSinceLastBackup(summary, now);
    return "No backup from " + summary.displayName + " for " + std::to_string(days) +
           (days == 1 ? " day." : " days.");
}

} // namespace

std::int64_t HarborlockDaemon::Now() const
{
    return hl::Os().WallClockMs() / 1000 + m_options.clockOffsetSeconds;
}

void HarborlockDaemon::CommandServers(int fd, bool json, CBFMRepository& repository)
{
    const std::vector<TServerSummary> summaries = CServerSummary::Collect(repository);
    const CServerWatchSettings settings(m_settingsPath);
    const std::int64_t now = Now();
    if (!json && summaries.empty()) {
        Reply(fd, kCtlOk, "No Quarnex server has stored a backup here.\n");
        return;
    }
    // Text: columns as wide as their widest cell.
    std::vector<std::vector<std::string>> rows = {{"SERVER", "LAST BACKUP", "BACKUPS", "SIZE", "STATE"}};
    std::string out = "{\"servers\":[";
    for (const TServerSummary& s : summaries) {
        const int warnDays = settings.WarnDays(s.serverID);
        const CServerSummary::EState state = CServerSummary::StateAt(s, now, warnDays);
        std::string date;
        if (s.backupCount > 0)
            CTimeUtil(CTimeUtil::ToLocal(s.lastBackupDate)).ToDisplayString(date);
        out += std::string(rows.size() > 1 ? "," : "") + "{\"server\":" + Json(s.serverID) +
               ",\"name\":" + Json(s.serverName) + ",\"lastBackup\":" +
               (s.backupCount > 0 ? std::to_string(s.lastBackupDate) : std::string("null")) +
               ",\"lastBackupText\":" + Json(date) + ",\"backups\":" + std::to_string(s.backupCount) +
               ",\"diskBytes\":" + std::to_string(s.diskBytes) +
               ",\"imageBytes\":" + std::to_string(s.imageBytes) +
               ",\"warnDays\":" + std::to_string(warnDays) + ",\"state\":" + Json(StateWord(state)) +
               ",\"stateText\":" + Json(CServerSummary::StateText(state, warnDays)) + "}";
        rows.push_back({s.serverID, s.backupCount > 0 ? date : "-", std::to_string(s.backupCount),
                        BytesText(s.diskBytes),
                        CServerSummary::StateText(state, warnDays) +
                            (s.serverName.empty() ? "" : "  (" + s.serverName + ")")});
    }
    if (json) {
        Reply(fd, kCtlOk, out + "]}\n");
        return;
    }
    std::size_t width[4] = {};
    for (const auto& row : rows)
        for (std::size_t c = 0; c < 4; ++c)
            width[c] = std::max(width[c], row[c].size());
    std::string text;
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < 4; ++c) {
            const std::string pad(width[c] - row[c].size(), ' ');
            text += c == 2 ? pad + row[c] : row[c] + pad; // counts align right
            text += "  ";
        }
        text += row[4] + "\n";
    }
    Reply(fd, kCtlOk, text);
}

void HarborlockDaemon::CheckQuietServers()
{
    m_nextQuietCheck = Clock::now() + kQuietCheckInterval;
    CBFMRepository* repository = m_repositoryOpen ? CBFMRepository::GetInstance(m_folder.c_str()) : nullptr;
    if (!repository) {
        m_quiet.clear();
        return;
    }
    const std::vector<TServerSummary> summaries = CServerSummary::Collect(*repository);
    const CServerWatchSettings settings(m_settingsPath);
    const std::int64_t now = Now();
    std::map<std::string, Announced> quiet;
    for (const TServerSummary& s : summaries) {
        const int warnDays = settings.WarnDays(s.serverID);
        // A server that never stored a backup gives no date to measure from.
        if (CServerSummary::StateAt(s, now, warnDays) != CServerSummary::StateOverdue)
            continue;
        const Announced key{s.currentBackupID, s.lastBackupDate, warnDays};
        quiet[s.serverID] = key;
        const auto before = m_quiet.find(s.serverID);
        if (before != m_quiet.end() && before->second == key)
            continue;
        const std::string line = QuietLine(s, now);
        LogActivity(line);
        CLog::Warn(kCategoryApp, "HarborlockDaemon: server %s is quiet: %s\n", s.serverID.c_str(),
                   line.c_str());
    }
    m_quiet = std::move(quiet);
}

std::string HarborlockDaemon::QuietText(bool json) const
{
    std::string out;
    for (const auto& [id, announced] : m_quiet) {
        if (json)
            out += std::string(out.empty() ? "" : ",") + Json(id);
        else
            out += (out.empty() ? "" : ", ") + id;
    }
    return json ? "[" + out + "]" : out;
}
