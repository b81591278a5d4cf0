#include "CServerWatchSettings.h"

#include "CInetHeaderParser.h"

#include <utility>

namespace {
const char* const kKeyPrefix = "ServerWarnDays-";
} // namespace

CServerWatchSettings::CServerWatchSettings(std::string configPath) : m_configPath(std::move(configPath)) {}

std::string CServerWatchSettings::KeyFor(const std::string& serverID)
{
    if (serverID.empty())
        return std::string();
    for (char c : serverID) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        c == '_' || c == '-' || c == '.';
        if (!ok)
            return std::string();
    }
    return kKeyPrefix + serverID;
}

int CServerWatchSettings::WarnDays(const std::string& serverID) const
{
    const std::string key = KeyFor(serverID);
    if (key.empty())
        return kDefaultWarnDays;
    CInetHeaderParser parser(m_configPath, true);
    std::int32_t days = kDefaultWarnDays;
    if (!parser.IsLoaded() || !parser.GetParmInt(key, key, days) || days < 0 || days > kMaxWarnDays)
        return kDefaultWarnDays;
    return days;
}

bool CServerWatchSettings::SetWarnDays(const std::string& serverID, int days)
{
    const std::string key = KeyFor(serverID);
    if (key.empty() || days < 0 || days > kMaxWarnDays)
        return false;
    CInetHeaderParser current(m_configPath, true);
    // A missing file is the window's to create with its defaults; writing only this header
    // would leave it without a port and a folder.
    if (!current.IsLoaded())
        return false;
    CInetHeaderParser parser(true);
    for (const auto& [name, parms] : current.Headers()) {
        if (name == key)
            continue;
        std::string value;
        current.GetParmValue(name, name, value);
        parser.AddHeader(name, value);
    }
    if (days != kDefaultWarnDays)
        parser.AddHeaderInt(key, days);
    return parser.Save(m_configPath);
}
