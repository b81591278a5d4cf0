#include "FleetWindow.h"

namespace bench {

bool FleetWindow::Post(unsigned message, intptr_t lParam)
{
    const Clock::time_point now = Clock::now();
    bool saveDone = false;
    bool saveOk = false;
    int error = -1;
    if (message == CM_HLKSaveBackupDone) {
        saveDone = true;
        saveOk = reinterpret_cast<HLKResultMsg*>(lParam)->success != 0;
    } else if (message == CM_HLKError) {
        error = static_cast<int>(lParam);
    }
    GUIComm::FreePayload(message, lParam);
    std::lock_guard<std::mutex> guard(m_lock);
    if (error >= 0)
        m_errors.push_back(error);
    if (saveDone) {
        if (saveOk) {
            ++m_saved;
            m_lastSavedAt = now;
        } else {
            ++m_failed;
        }
        // Only ends are waited for; progress reports wake nobody.
        m_changed.notify_all();
    }
    return true;
}

void FleetWindow::Reset()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_saved = 0;
    m_failed = 0;
    m_errors.clear();
}

bool FleetWindow::WaitSaved(int count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return m_saved >= count || m_failed > 0; });
    return m_saved >= count && m_failed == 0;
}

int FleetWindow::Saved()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_saved;
}

int FleetWindow::SaveFailures()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_failed;
}

FleetWindow::Clock::time_point FleetWindow::LastSavedAt()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lastSavedAt;
}

std::vector<int> FleetWindow::Errors()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_errors;
}

} // namespace bench
