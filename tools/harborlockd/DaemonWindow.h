// DaemonWindow: the receiving end of GUIComm in harborlockd. Service and work-queue threads
// post here; the daemon's main thread drains the queue (woken through an eventfd) and does
// what the main window does with each notification. Nothing is ever refused, so GUIComm
// never has to retry.
//
// While the daemon stops, no one is left to answer a restore prompt: in that mode a prompt
// is rejected at once, on the posting thread, so that the worker asking it can end within
// the service's stop.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

#include "GUIComm.h"

class DaemonWindow : public IGUIWindow {
public:
    struct Note {
        unsigned message = 0;
        intptr_t lParam = 0;
        // CM_HLKPromptForRestore answered on the posting thread (payload already freed).
        bool rejectedAtOnce = false;
        HLKPromptForRestoreMsg request{};
    };

    DaemonWindow();
    ~DaemonWindow() override; // frees the payloads of notes never taken
    DaemonWindow(const DaemonWindow&) = delete;
    DaemonWindow& operator=(const DaemonWindow&) = delete;

    bool Post(unsigned message, intptr_t lParam) override;

    // Readable while notes wait.
    int WakeFd() const { return m_wakeFd; }
    // Takes the oldest note; false when none waits.
    bool Take(Note& note);
    // From now on restore prompts are rejected as they are posted.
    void RejectPromptsAtOnce();

private:
    std::mutex m_lock;
    std::deque<Note> m_notes;
    bool m_rejectAtOnce = false;
    int m_wakeFd = -1;
};
