#pragma once
// One line per known phone-system server for overviews (the window's Servers view and the
// command-line client): its last successful backup, how many backups are stored, the bytes
// its directory takes, and whether it has gone quiet. Read afresh from the repository on
// every call, like every other repository list.

#include <cstdint>
#include <string>
#include <vector>

class CBFMRepository;

struct TServerSummary {
    std::string serverID;
    std::string serverName;  // may be empty
    std::string displayName; // as in the other lists ("Quarnex Server ID: ...")
    std::string currentBackupID;
    // Backups holding a stored image (a record whose transfer is still running has none).
    std::uint32_t backupCount = 0;
    // Latest LastBackupDate of those backups; meaningful only when backupCount > 0.
    std::uint32_t lastBackupDate = 0;
    // Sum of the stored images' logical sizes.
    std::uint64_t imageBytes = 0;
    // Bytes of every file below the server's directory: what deleting it would free.
    std::uint64_t diskBytes = 0;
};

class CServerSummary {
public:
    enum EState { StateOK, StateOverdue, StateNoBackups };

    static constexpr int kDefaultWarnDays = 2;

    // Every server that loads, sorted by server ID (byte-wise).
    static std::vector<TServerSummary> Collect(CBFMRepository& repository);

    // The state at `now` (seconds since 1970 UTC) with the warning after `warnDays` days
    // without a backup; warnDays <= 0 never warns about a server that has backups.
    static EState StateAt(const TServerSummary& summary, std::int64_t now, int warnDays);
    // "OK", "No backup for more than N day(s)", "No backups".
    static std::string StateText(EState state, int warnDays);
    // Whole days since the last backup (0 when none or in the future).
    static std::int64_t DaysSinceLastBackup(const TServerSummary& summary, std::int64_t now);

private:
    static std::uint64_t TreeBytes(const std::string& directory);
};
