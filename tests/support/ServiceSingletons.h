// The service's process-wide singletons (repository, window channel, service), set up and
// released in one order by every fixture that runs the real service inside the test process.
#pragma once

#include <string>

#include "CBFMRepository.h"
#include "GUIComm.h"
#include "HLKBackup.h"

namespace testsupport {

// Opens the repository on `root` (none when empty), attaches `window` and sets the service's
// time-outs. False when the repository does not open.
inline bool OpenServiceSingletons(const std::string& root, IGUIWindow& window, const HLKTimeouts& timeouts)
{
    if (!root.empty() && CBFMRepository::GetInstance(root.c_str()) == nullptr)
        return false;
    GUIComm::GetInstance(&window);
    HLKBackup::SetTimeouts(timeouts);
    return true;
}

// The service first (its threads use the other two), then the window channel, then the
// repository; the time-outs back to their defaults.
inline void ReleaseServiceSingletons()
{
    HLKBackup::Cleanup();
    GUIComm::Cleanup();
    CBFMRepository::Release();
    HLKBackup::SetTimeouts(HLKTimeouts{});
}

} // namespace testsupport
