// CAppSettings: the application's settings file "Harborlock.cfg" (TCP port and backup
// folder), read and written the same way by the window and by harborlockd.
#pragma once

#include <string>

class CAppSettings {
public:
    static constexpr const char* kFileName = "Harborlock.cfg";
    static constexpr const char* kDefaultPort = "5001";

    // The settings file inside a Config folder.
    static std::string PathIn(const std::string& configDirectory);
    // $HOME/HarborlockBackups.
    static std::string DefaultFolder();

    // Reads port and folder. A header that is missing gives an empty value. A file that does
    // not load gives the defaults, which are written at once (the write may fail silently).
    // Returns whether the file loaded.
    static bool Load(const std::string& path, std::string& port, std::string& folder);
    // Rewrites the whole file; false when it could not be written.
    static bool Save(const std::string& path, const std::string& port, const std::string& folder);

    // The decimal value of a port text as atoi reads it (leading blanks, then digits; 0 when
    // there are none), capped so that a long run of digits cannot overflow.
    static int PortValue(const std::string& text);
};
