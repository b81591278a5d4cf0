#include "DaemonWindow.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <stdexcept>

DaemonWindow::DaemonWindow()
{
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        throw std::runtime_error("cannot create the notification event");
}

DaemonWindow::~DaemonWindow()
{
    Note note;
    while (Take(note))
        if (!note.rejectedAtOnce)
            GUIComm::FreePayload(note.message, note.lParam);
    ::close(m_wakeFd);
}

bool DaemonWindow::Post(unsigned message, intptr_t lParam)
{
    Note note;
    note.message = message;
    note.lParam = lParam;
    bool answerNow = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (message == CM_HLKPromptForRestore && m_rejectAtOnce) {
            note.rejectedAtOnce = true;
            note.request = *reinterpret_cast<HLKPromptForRestoreMsg*>(lParam);
            note.lParam = 0;
            answerNow = true;
        }
        m_notes.push_back(note);
    }
    if (answerNow) {
        GUIComm::FreePayload(message, lParam);
        // GUIComm posts the prompt outside its own lock, so it can be answered from here.
        if (GUIComm* gui = GUIComm::Instance())
            gui->RespondToRestorePrompt(false);
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    return true;
}

bool DaemonWindow::Take(Note& note)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_notes.empty()) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &count, sizeof count);
        return false;
    }
    note = m_notes.front();
    m_notes.pop_front();
    return true;
}

void DaemonWindow::RejectPromptsAtOnce()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_rejectAtOnce = true;
}
