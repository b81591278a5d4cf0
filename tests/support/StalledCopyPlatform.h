// A disk that stalls in the middle of copying a backup image until the copy is cancelled: for
// the tests of a stop or an exit while an export runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <semaphore>
#include <string>

#include "PlatformWrapper.h"

namespace testsupport {

class StalledCopyPlatform : public hl::PlatformWrapper {
public:
    StalledCopyPlatform() : PlatformWrapper(hl::PosixPlatform()) {}

    bool CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                  const hl::CopyProgress& progress) override
    {
        if (!progress || to.find("backup_000") == std::string::npos)
            return PlatformWrapper::CopyFile(from, to, failIfExists, progress);
        return PlatformWrapper::CopyFile(from, to, failIfExists,
                                         [&](std::uint64_t copied, std::uint64_t total) {
                                             if (!progress(copied, total))
                                                 return false;
                                             if (stalls++ == 0)
                                                 started.release();
                                             // Never cancelled within ten seconds: let the copy end, so the test fails on a
                                             // finished export instead of hanging.
                                             for (int i = 0; progress(copied, total); ++i) {
                                                 if (i == 5000)
                                                     return true;
                                                 Inner().Sleep(2);
                                             }
                                             return false;
                                         });
    }

    std::binary_semaphore started{0}; // released when the image copy first stalls
    std::atomic<int> stalls{0};
};

} // namespace testsupport
