#include "CPeerRules.h"

#include <utility>

#include "CInetHeaderParser.h"
#include "Platform.h"

namespace {

const char* const kListenAddress = "ListenAddress";
const char* const kAcceptFrom = "AcceptConnectionsFrom";
const char* const kPinServers = "PinServersToAddress";
const char* const kRestoreNeedsPrompt = "RestoreNeedsAcceptedPrompt";
const char* const kPinPrefix = "PeerPin-";

std::string Value(const CInetHeaderParser& parser, const char* name)
{
    std::string value;
    parser.GetParmValue(name, name, value);
    return value;
}

bool Flag(const CInetHeaderParser& parser, const char* name)
{
    std::int32_t value = 0;
    return parser.GetParmInt(name, name, value) && value != 0;
}

std::vector<std::string> Entries(const std::string& text)
{
    std::vector<std::string> entries;
    std::string current;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',') {
            if (!current.empty())
                entries.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        entries.push_back(std::move(current));
    return entries;
}

bool ParseDecimal(const std::string& text, unsigned max, unsigned& value)
{
    if (text.empty() || text.size() > 3)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= max;
}

} // namespace

bool CPeerRules::Network::Contains(std::uint32_t peer) const
{
    if (prefix <= 0)
        return true;
    const std::uint32_t mask = prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
    return (peer & mask) == (address & mask);
}

CPeerRules::Settings CPeerRules::Load(const std::string& settingsPath)
{
    Settings settings;
    CInetHeaderParser parser(settingsPath, true);
    if (!parser.IsLoaded())
        return settings;
    settings.listenAddress = Value(parser, kListenAddress);
    settings.acceptFrom = Value(parser, kAcceptFrom);
    settings.pinServers = Flag(parser, kPinServers);
    settings.restoreNeedsPrompt = Flag(parser, kRestoreNeedsPrompt);
    return settings;
}

void CPeerRules::AddTo(const Settings& settings, CInetHeaderParser& target)
{
    if (!settings.listenAddress.empty())
        target.AddHeader(kListenAddress, settings.listenAddress);
    if (!settings.acceptFrom.empty())
        target.AddHeader(kAcceptFrom, settings.acceptFrom);
    if (settings.pinServers)
        target.AddHeaderInt(kPinServers, 1);
    if (settings.restoreNeedsPrompt)
        target.AddHeaderInt(kRestoreNeedsPrompt, 1);
}

bool CPeerRules::IsOwnHeader(const std::string& name)
{
    return name == kListenAddress || name == kAcceptFrom || name == kPinServers ||
           name == kRestoreNeedsPrompt;
}

bool CPeerRules::ParseAddress(const std::string& text, std::uint32_t& address)
{
    std::uint32_t result = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.', start) : text.size();
        if (dot == std::string::npos)
            return false;
        unsigned value = 0;
        if (!ParseDecimal(text.substr(start, dot - start), 255, value))
            return false;
        result = result << 8 | value;
        start = dot + 1;
    }
    address = result;
    return true;
}

bool CPeerRules::ParseNetwork(const std::string& text, Network& network)
{
    const std::size_t slash = text.find('/');
    Network n;
    if (!ParseAddress(text.substr(0, slash), n.address))
        return false;
    if (slash != std::string::npos) {
        unsigned prefix = 0;
        if (!ParseDecimal(text.substr(slash + 1), 32, prefix))
            return false;
        n.prefix = static_cast<int>(prefix);
    }
    network = n;
    return true;
}

bool CPeerRules::ParseAcceptList(const std::string& text, std::vector<Network>& networks, std::string* bad)
{
    networks.clear();
    for (const std::string& entry : Entries(text)) {
        Network n;
        if (!ParseNetwork(entry, n)) {
            if (bad)
                *bad = entry;
            return false;
        }
        networks.push_back(n);
    }
    return true;
}

CPeerRules::CPeerRules(std::string pinFilePath) : CPeerRules(std::move(pinFilePath), Settings()) {}

CPeerRules::CPeerRules(std::string pinFilePath, const Settings& settings)
    : m_pinFilePath(std::move(pinFilePath))
{
    SetSettings(settings);
    CInetHeaderParser parser(m_pinFilePath, true);
    if (!parser.IsLoaded())
        return;
    const std::string prefix = kPinPrefix;
    for (const auto& [name, parms] : parser.Headers()) {
        if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size())
            continue;
        std::string address;
        std::uint32_t ignored = 0;
        if (parser.GetParmValue(name, name, address) && ParseAddress(address, ignored))
            m_pins[name.substr(prefix.size())] = address;
    }
}

void CPeerRules::SetSettings(const Settings& settings)
{
    std::vector<Network> networks;
    ParseAcceptList(settings.acceptFrom, networks);
    std::lock_guard<std::mutex> guard(m_lock);
    m_settings = settings;
    m_accept = std::move(networks);
}

CPeerRules::Settings CPeerRules::GetSettings() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_settings;
}

bool CPeerRules::AcceptsConnection(const std::string& peer) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_settings.acceptFrom.empty())
        return true;
    std::uint32_t address = 0;
    if (!ParseAddress(peer, address))
        return false;
    for (const Network& n : m_accept)
        if (n.Contains(address))
            return true;
    return false;
}

std::string CPeerRules::CheckBackup(const std::string& serverId, const std::string& peer) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_settings.pinServers)
        return std::string();
    const auto pin = m_pins.find(serverId);
    if (pin == m_pins.end() || pin->second == peer)
        return std::string();
    return "Backup from Quarnex Server ID: " + serverId + " refused: it came from " + peer +
           ", the server is pinned to " + pin->second;
}

std::string CPeerRules::CheckRestore(const std::string& serverId, const std::string& peer) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_settings.pinServers) {
        const auto pin = m_pins.find(serverId);
        if (pin != m_pins.end() && pin->second != peer)
            return "Restore for Quarnex Server ID: " + serverId + " refused: it came from " + peer +
                   ", the server is pinned to " + pin->second;
    }
    if (m_settings.restoreNeedsPrompt) {
        const auto accepted = m_accepted.find({serverId, peer});
        if (accepted == m_accepted.end() || hl::Os().MonotonicMs() - accepted->second > kPromptValidMs)
            return "Restore for Quarnex Server ID: " + serverId + " refused: no restore request from " +
                   peer + " was accepted in the last 10 minutes";
    }
    return std::string();
}

bool CPeerRules::BackupSaved(const std::string& serverId, const std::string& peer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_settings.pinServers || m_pins.count(serverId) != 0)
        return true;
    std::map<std::string, std::string> pins = m_pins;
    pins[serverId] = peer;
    if (!SavePins(pins))
        return false;
    m_pins = std::move(pins);
    return true;
}

void CPeerRules::InquiryAccepted(const std::string& serverId, const std::string& peer)
{
    const std::uint64_t now = hl::Os().MonotonicMs();
    std::lock_guard<std::mutex> guard(m_lock);
    // Old answers go, so the map holds only what can still count.
    for (auto it = m_accepted.begin(); it != m_accepted.end();)
        it = now - it->second > kPromptValidMs ? m_accepted.erase(it) : std::next(it);
    m_accepted[{serverId, peer}] = now;
}

std::map<std::string, std::string> CPeerRules::Pins() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pins;
}

bool CPeerRules::ForgetPin(const std::string& serverId)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pins.count(serverId) == 0)
        return false;
    std::map<std::string, std::string> pins = m_pins;
    pins.erase(serverId);
    if (!SavePins(pins))
        return false;
    m_pins = std::move(pins);
    return true;
}

std::string CPeerRules::RefusedConnectionLine(const std::string& peer)
{
    return "Connection from " + peer + " refused: the address is not among the accepted addresses";
}

bool CPeerRules::SavePins(const std::map<std::string, std::string>& pins) const
{
    CInetHeaderParser parser(true);
    for (const auto& [serverId, address] : pins)
        parser.AddHeader(kPinPrefix + serverId, address);
    return parser.Save(m_pinFilePath);
}
