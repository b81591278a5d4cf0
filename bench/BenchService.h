// The real backup service, in this process, on an ephemeral loopback port over a repository
// in the benchmark's work directory, with a window that only waits for the results.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CActivityLog.h"
#include "CServiceActivity.h"
#include "GUIComm.h"

namespace bench {

// Handles the service's notifications as the main window does: Post only queues them (the
// window posts an event to its own thread), and a thread of the window's own takes them in
// order, applies each to the status and activity-log lines (CServiceActivity), appends the
// lines to the activity-log file and frees the payload. What the benchmark waits for is noted
// as each is handled.
class BenchWindow : public IGUIWindow {
public:
    // activityLog: the file the lines are appended to ("" for none).
    explicit BenchWindow(const std::string& activityLog = "");
    ~BenchWindow() override;
    BenchWindow(const BenchWindow&) = delete;
    BenchWindow& operator=(const BenchWindow&) = delete;

    bool Post(unsigned message, intptr_t lParam) override;

    // Forgets earlier results before a conversation starts.
    void Reset();
    // Waits for NotifySaveBackupDone; true only when it arrived and reported success.
    bool WaitSaveDone(int timeoutMs);
    // Error codes posted since the last Reset.
    std::vector<int> Errors();
    // When NotifyBackupTransferDone was posted (DONE answered, merge about to start).
    std::chrono::steady_clock::time_point TransferDoneAt();
    // Activity-log lines written so far.
    std::uint64_t LinesLogged();

private:
    void Handle(unsigned message, intptr_t lParam);
    void Run();

    struct Posted {
        unsigned message;
        intptr_t lParam;
        std::chrono::steady_clock::time_point at;
    };
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::condition_variable m_posted;
    std::deque<Posted> m_queue;
    bool m_stopping = false;
    bool m_saveDone = false;
    bool m_saveOk = false;
    std::chrono::steady_clock::time_point m_transferDoneAt;
    std::vector<int> m_errors;
    std::uint64_t m_lines = 0;
    CServiceActivity m_activity; // the window thread's only
    CActivityLog m_log;
    std::thread m_thread;
};

class BenchService {
public:
    // Opens the debug log and the repository under root and starts the service. Throws
    // std::runtime_error when it cannot.
    // With debugLog the service's and the repository's DEBUG lines are logged too (their
    // timestamps show where a slow figure's time goes).
    explicit BenchService(const std::string& root, bool debugLog = false);
    ~BenchService();
    BenchService(const BenchService&) = delete;
    BenchService& operator=(const BenchService&) = delete;

    std::uint16_t Port() const { return m_port; }
    BenchWindow& Window() { return m_window; }

    // Removes every stored backup of the server, so that the next full backup retires none
    // (not part of any measured time).
    void ForgetServer(const std::string& serverID);
    // Makes the server keep no old backups and never force a full backup, as a user may set it.
    bool PrepareServer(const std::string& serverID);
    // Files of the server's current image, in order ("" list when there is none).
    std::vector<std::string> CurrentImageFiles(const std::string& serverID);

private:
    std::string m_root;
    BenchWindow m_window;
    std::uint16_t m_port = 0;
};

} // namespace bench
