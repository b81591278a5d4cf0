// The window of the fleet figure: counts the backups the service reports saved and keeps
// the moment of the last one; frees every payload as the main window does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "GUIComm.h"

namespace bench {

class FleetWindow : public IGUIWindow {
public:
    using Clock = std::chrono::steady_clock;

    bool Post(unsigned message, intptr_t lParam) override;

    void Reset();
    // Waits until `count` backups were saved (or one failed); true when all were saved.
    bool WaitSaved(int count, int timeoutMs);
    int Saved();
    int SaveFailures();
    Clock::time_point LastSavedAt();
    std::vector<int> Errors();

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_saved = 0;
    int m_failed = 0;
    Clock::time_point m_lastSavedAt;
    std::vector<int> m_errors;
};

} // namespace bench
