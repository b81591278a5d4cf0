// CPeerRules: which peers the backup service serves. The wire protocol has no authentication,
// so these rules are the only say the PC has over who backs up and who restores. Every rule is
// off by default, and a peer it lets in sees exactly the conversation it always saw.
//
// - Listen on: every local address (default) or one chosen address.
// - Accept connections only from: a list of IPv4 addresses and networks ("10.1.2.0/24");
//   anything else is closed before a byte is read.
// - Pin each server to the address it first backed up from: once a backup of a server ID was
//   saved from an address, a backup or restore for that ID from another address is refused.
// - A restore needs an accepted prompt: a restore for a server is served only to the address
//   whose inquiry for the same server the user accepted in the last 10 minutes.
//
// The settings live in the window's settings file "Harborlock.cfg" (read by harborlockd as
// well); the pins, which the service itself writes as backups are saved, in "PeerPins.cfg"
// beside it. One instance is shared by the window (or harborlockd) and the service threads;
// every member is safe to call from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class CInetHeaderParser;

class CPeerRules {
public:
    struct Settings {
        std::string listenAddress; // "" = every local address
        std::string acceptFrom;    // "" = every address; else entries separated by blanks or commas
        bool pinServers = false;
        bool restoreNeedsPrompt = false;
        bool operator==(const Settings&) const = default;
    };

    // An IPv4 network in host order; a single address has prefix 32.
    struct Network {
        std::uint32_t address = 0;
        int prefix = 32;
        bool Contains(std::uint32_t peer) const;
    };

    static constexpr const char* kPinFileName = "PeerPins.cfg";
    static constexpr std::uint64_t kPromptValidMs = 10ull * 60 * 1000;

    // ---- settings file ------------------------------------------------------------------------
    // The rules' headers of a settings file; missing or unreadable ones give the defaults.
    static Settings Load(const std::string& settingsPath);
    // Adds the headers of the rules that differ from the defaults, so a file of someone who
    // never used them stays as it was.
    static void AddTo(const Settings& settings, CInetHeaderParser& target);
    // Whether a settings header is one of the rules'.
    static bool IsOwnHeader(const std::string& name);

    // ---- parsing -------------------------------------------------------------------------------
    // A dotted IPv4 address of exactly four decimal parts 0..255.
    static bool ParseAddress(const std::string& text, std::uint32_t& address);
    // "a.b.c.d" or "a.b.c.d/n" with n 0..32.
    static bool ParseNetwork(const std::string& text, Network& network);
    // The entries of an accept list; false with the first entry that is not a network in *bad.
    static bool ParseAcceptList(const std::string& text, std::vector<Network>& networks,
                                std::string* bad = nullptr);

    // pinFilePath: where the pins are kept (read now, rewritten on every change).
    explicit CPeerRules(std::string pinFilePath);
    CPeerRules(std::string pinFilePath, const Settings& settings);
    CPeerRules(const CPeerRules&) = delete;
    CPeerRules& operator=(const CPeerRules&) = delete;

    // A list that does not parse is taken as given up to its first bad entry; the dialog does
    // not let one through, a hand-edited file may.
    void SetSettings(const Settings& settings);
    Settings GetSettings() const;

    // ---- the service's questions -----------------------------------------------------------------
    // Whether a connection from this dotted address may be served at all.
    bool AcceptsConnection(const std::string& peer) const;
    // "" when a backup of serverId from peer may go on, else the activity-log line saying why not.
    std::string CheckBackup(const std::string& serverId, const std::string& peer) const;
    // The same for a restore.
    std::string CheckRestore(const std::string& serverId, const std::string& peer) const;
    // A backup of serverId from peer was saved: pins the server when pinning is on and it has
    // no pin yet. False when the pin could not be written.
    bool BackupSaved(const std::string& serverId, const std::string& peer);
    // The user accepted an inquiry for serverId from peer.
    void InquiryAccepted(const std::string& serverId, const std::string& peer);

    // ---- pins ------------------------------------------------------------------------------------
    // Server ID to pinned address, sorted by server ID.
    std::map<std::string, std::string> Pins() const;
    // Forgets the pin of a server (a server that moved). False when it had none or the file
    // could not be written (the pin is then kept).
    bool ForgetPin(const std::string& serverId);

    // The activity-log line of a refused connection.
    static std::string RefusedConnectionLine(const std::string& peer);

private:
    bool SavePins(const std::map<std::string, std::string>& pins) const; // under m_lock

    mutable std::mutex m_lock;
    std::string m_pinFilePath;
    Settings m_settings;
    std::vector<Network> m_accept;
    std::map<std::string, std::string> m_pins;
    // Accepted inquiries: server ID and address to the monotonic time of the answer.
    std::map<std::pair<std::string, std::string>, std::uint64_t> m_accepted;
};
