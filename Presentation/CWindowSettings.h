#pragma once
// The window's settings: the TCP port and the backup folder held in memory (what the service
// listens on and the repository's root), and their file "Harborlock.cfg" in the Config folder.
// The file is read and written as harborlockd reads and writes it, and holds the peer rules
// (read by harborlockd too); a rewrite here keeps every header it does not own, such as the
// window's per-server warning days.

#include <string>

#include "CPeerRules.h"

class CWindowSettings {
public:
    // The settings file inside the client's Config folder.
    static std::string FilePath();

    // Reads the file and keeps its values. A file that does not load gives the defaults,
    // written at once.
    void Load();
    // Keeps the values and writes the file.
    void Save(const std::string& port, const std::string& folder);
    void Save(const std::string& port, const std::string& folder, const CPeerRules::Settings& rules);

    const std::string& Port() const { return m_port; }
    const std::string& Folder() const { return m_folder; }
    // The port as the service takes it: the text's leading decimal digits, 0 when none.
    int PortNumber() const;
    const CPeerRules::Settings& PeerRules() const { return m_peerRules; }

private:
    std::string m_port;
    std::string m_folder;
    CPeerRules::Settings m_peerRules;
};
