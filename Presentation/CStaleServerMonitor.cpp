#include "CStaleServerMonitor.h"

#include "CServerWatchSettings.h"
#include "Platform.h"

#include <utility>

CStaleServerMonitor::CStaleServerMonitor(RepositorySource repository, QObject* parent)
    : QObject(parent), m_repository(std::move(repository))
{
    connect(&m_timer, &QTimer::timeout, this, &CStaleServerMonitor::Check);
}

void CStaleServerMonitor::SetClock(Clock clock)
{
    m_clock = std::move(clock);
}

std::int64_t CStaleServerMonitor::Now() const
{
    return m_clock ? m_clock() : hl::Os().WallClockMs() / 1000;
}

void CStaleServerMonitor::Start(int intervalMs)
{
    m_timer.start(intervalMs);
}

void CStaleServerMonitor::Stop()
{
    m_timer.stop();
}

int CStaleServerMonitor::WarnDaysOf(const std::string& serverID) const
{
    const auto it = m_warnDays.find(serverID);
    return it != m_warnDays.end() ? it->second : CServerWatchSettings::kDefaultWarnDays;
}

CServerSummary::EState CStaleServerMonitor::StateOf(const TServerSummary& summary) const
{
    return CServerSummary::StateAt(summary, Now(), WarnDaysOf(summary.serverID));
}

bool CStaleServerMonitor::SetWarnDays(const std::string& serverID, int days)
{
    const bool saved = CServerWatchSettings(m_configPath).SetWarnDays(serverID, days);
    Check();
    return saved;
}

void CStaleServerMonitor::Check()
{
    CBFMRepository* repository = m_repository ? m_repository() : nullptr;
    m_summaries = repository ? CServerSummary::Collect(*repository) : std::vector<TServerSummary>();

    const CServerWatchSettings settings(m_configPath);
    const std::int64_t now = Now();
    m_warnDays.clear();
    std::set<std::string> quiet;
    QStringList wentQuiet;
    QStringList quietIDs;
    for (const TServerSummary& s : m_summaries) {
        const int days = settings.WarnDays(s.serverID);
        m_warnDays[s.serverID] = days;
        // A server that never stored a backup gives no date to measure from: its row says
        // so, but it raises no warning.
        if (CServerSummary::StateAt(s, now, days) != CServerSummary::StateOverdue)
            continue;
        quiet.insert(s.serverID);
        quietIDs << QString::fromStdString(s.serverID);
        if (!m_quiet.count(s.serverID)) {
            const std::int64_t since = CServerSummary::DaysSinceLastBackup(s, now);
            wentQuiet << QStringLiteral("No backup from %1 for %2 %3.")
                             .arg(QString::fromStdString(s.displayName))
                             .arg(since)
                             .arg(since == 1 ? QStringLiteral("day") : QStringLiteral("days"));
        }
    }
    const bool changed = quiet != m_quiet || !m_reportedAny;
    m_quiet = std::move(quiet);
    m_reportedAny = true;

    emit Checked();
    if (!wentQuiet.isEmpty())
        emit ServersWentQuiet(wentQuiet);
    if (changed)
        emit QuietChanged(!m_quiet.empty(), m_quiet.empty()
                                                ? QString()
                                                : QStringLiteral("Harborlock - no recent backup: ") +
                                                      quietIDs.join(QStringLiteral(", ")));
}
