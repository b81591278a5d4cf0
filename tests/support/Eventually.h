// The one Qt-free wait of the tests: polls a condition until it holds or a limit passes, so a
// test waiting for something that never comes fails instead of hanging. (Tests that must keep
// Qt's event loop turning while they wait use WaitFor in tests/Presentation/ModalWatcher.h.)
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// True as soon as `done` holds; false when it still does not after `limit`.
inline bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit,
                       std::chrono::milliseconds interval = std::chrono::milliseconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(interval);
    }
    return true;
}

} // namespace testsupport
