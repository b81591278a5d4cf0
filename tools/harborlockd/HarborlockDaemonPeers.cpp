// The peer-rules half of HarborlockDaemon: the rules from the settings file, and the pins
// harborlock-ctl lists and forgets.
#include "HarborlockDaemon.h"

#include <cstdio>

#include "CLog.h"
#include "ControlText.h"
#include "HLKBackup.h"

namespace {

constexpr int kCategoryApp = 31;

} // namespace

bool HarborlockDaemon::ReadPeerRules()
{
    const CPeerRules::Settings settings = CPeerRules::Load(m_settingsPath);
    std::vector<CPeerRules::Network> networks;
    std::string bad;
    if (!CPeerRules::ParseAcceptList(settings.acceptFrom, networks, &bad)) {
        // Taken as far as it reads, so a typo lets fewer peers in, never more.
        std::fprintf(stderr,
                     "harborlockd: AcceptConnectionsFrom: \"%s\" is not an IPv4 address or network; "
                     "the entries after it are ignored\n",
                     bad.c_str());
        CLog::Warn(kCategoryApp, "HarborlockDaemon::ReadPeerRules(): bad accept-list entry %s\n",
                   bad.c_str());
    }
    if (!m_peerRules) {
        // The pins live beside the settings file, as the window keeps them.
        const std::size_t slash = m_settingsPath.rfind('/');
        const std::string dir =
            slash == std::string::npos ? std::string(".") : m_settingsPath.substr(0, slash);
        m_peerRules = std::make_shared<CPeerRules>(dir + "/" + CPeerRules::kPinFileName, settings);
        HLKBackup::GetInstance()->SetPeerRules(m_peerRules);
        return false;
    }
    const bool moved = m_peerRules->GetSettings().listenAddress != settings.listenAddress;
    m_peerRules->SetSettings(settings);
    return moved;
}

void HarborlockDaemon::CommandPins(int fd, bool json)
{
    const std::map<std::string, std::string> pins =
        m_peerRules ? m_peerRules->Pins() : std::map<std::string, std::string>();
    const bool on = m_peerRules && m_peerRules->GetSettings().pinServers;
    std::string out;
    if (json) {
        out = "{\"pinning\":" + std::string(on ? "true" : "false") + ",\"pins\":[";
        bool first = true;
        for (const auto& [server, address] : pins) {
            out += std::string(first ? "" : ",") + "{\"server\":" + Json(server) +
                   ",\"address\":" + Json(address) + "}";
            first = false;
        }
        out += "]}\n";
    } else {
        out = std::string("Pinning each server to its first address is ") + (on ? "on" : "off") + ".\n";
        if (pins.empty())
            out += "No Quarnex server is pinned to an address.\n";
        for (const auto& [server, address] : pins)
            out += "Quarnex Server ID " + server + " pinned to " + address + "\n";
    }
    Reply(fd, kCtlOk, out);
}

void HarborlockDaemon::CommandForgetPin(int fd, bool json, const std::vector<std::string>& args)
{
    if (args.size() != 1) {
        Reply(fd, kCtlUsage, Message(json, "usage", "forget-pin needs one Quarnex Server ID"));
        return;
    }
    const std::string& server = args[0];
    const std::map<std::string, std::string> pins =
        m_peerRules ? m_peerRules->Pins() : std::map<std::string, std::string>();
    if (pins.count(server) == 0) {
        Reply(fd, kCtlFailed,
              Message(json, "none", "Quarnex Server ID " + server + " is not pinned to an address."));
        return;
    }
    if (!m_peerRules->ForgetPin(server)) {
        CLog::Error(kCategoryApp, "HarborlockDaemon::CommandForgetPin(): the pin of %s could not be saved\n",
                    server.c_str());
        Reply(fd, kCtlFailed,
              Message(json, "failed", "Unable to forget the address of Quarnex Server ID " + server + "."));
        return;
    }
    const std::string line = "Address pin of Quarnex Server ID: " + server + " forgotten";
    LogActivity(line);
    Reply(fd, kCtlOk, Message(json, "forgotten", line));
}
