// Where harborlockd listens for harborlock-ctl when no --control path is given: the user's
// runtime directory ($XDG_RUNTIME_DIR, private to the user and emptied at logout), else the
// data root, which only the user can enter either.
#pragma once

#include <cstdlib>
#include <string>

#include "Platform.h"

inline std::string HarborlockDataRoot()
{
    return hl::Os().DataFolder() + "/Quarnex/Harborlock";
}

inline std::string DefaultControlPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && hl::Os().DirectoryExists(runtime))
        return std::string(runtime) + "/harborlockd.sock";
    return HarborlockDataRoot() + "/harborlockd.sock";
}
