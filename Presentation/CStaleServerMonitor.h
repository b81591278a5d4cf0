#pragma once
// Watches for servers that went quiet: reads the repository's per-server summary, compares
// each server's last backup with its "warn when no backup for N days" setting, and reports
// the servers that crossed their limit since the last check (once each, until a new backup
// arrives or the limit changes). The clock is injectable so that a test can set the date.

#include "CServerSummary.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

class CBFMRepository;

class CStaleServerMonitor : public QObject {
    Q_OBJECT

public:
    // Seconds since 1970 UTC.
    using Clock = std::function<std::int64_t()>;
    // The repository to read, or null while none is open.
    using RepositorySource = std::function<CBFMRepository*()>;

    explicit CStaleServerMonitor(RepositorySource repository, QObject* parent = nullptr);

    // The window's settings file, which holds the per-server limits.
    void SetConfigPath(std::string configPath) { m_configPath = std::move(configPath); }

    void SetClock(Clock clock);
    std::int64_t Now() const;

    // Checks again every intervalMs as well as when asked.
    void Start(int intervalMs);
    void Stop();

    // Reads the repository afresh and reports what changed.
    void Check();

    // As of the last check.
    const std::vector<TServerSummary>& Summaries() const { return m_summaries; }
    int WarnDaysOf(const std::string& serverID) const;
    CServerSummary::EState StateOf(const TServerSummary& summary) const;
    bool IsQuiet(const std::string& serverID) const { return m_quiet.count(serverID) != 0; }
    std::size_t QuietCount() const { return m_quiet.size(); }

    // Saves the server's limit in the settings file and checks again.
    bool SetWarnDays(const std::string& serverID, int days);

signals:
    // After every check: the summaries are new.
    void Checked();
    // The servers that went quiet in this check, one line each.
    void ServersWentQuiet(const QStringList& lines);
    // Whether any server is quiet now, with a short tip naming them.
    void QuietChanged(bool anyQuiet, const QString& tip);

private:
    RepositorySource m_repository;
    std::string m_configPath;
    Clock m_clock;
    QTimer m_timer;
    std::vector<TServerSummary> m_summaries;
    std::map<std::string, int> m_warnDays;
    std::set<std::string> m_quiet;
    bool m_reportedAny = false;
};
