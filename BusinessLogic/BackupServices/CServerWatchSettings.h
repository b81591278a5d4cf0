#pragma once
// The window's own per-server setting "warn when no backup for N days", kept in the
// settings file beside the port and the folder (one "ServerWarnDays-<server ID>" header per
// server whose value differs from the default). Nothing here goes into server.cfg, so the
// repository and the service never see it.

#include <string>

class CServerWatchSettings {
public:
    static constexpr int kDefaultWarnDays = 2;
    static constexpr int kMaxWarnDays = 365;

    explicit CServerWatchSettings(std::string configPath);

    // Read afresh from the file: the default when absent, unreadable or out of range.
    int WarnDays(const std::string& serverID) const;
    // Rewrites the file with the new value, keeping every other header. False when the
    // file cannot be read (it is written first by the window's own settings) or saved, or
    // when the ID cannot be a header name.
    bool SetWarnDays(const std::string& serverID, int days);

    // "ServerWarnDays-<ID>", or "" when the ID holds characters a header name cannot.
    static std::string KeyFor(const std::string& serverID);

private:
    std::string m_configPath;
};
