// HostWindow: the receiving end of GUIComm in harborlock-host. Writes every notification as
// one line to a file (flushed at once, so a process killed right after a post still leaves the
// line behind), frees the payload as the main window would, and answers every restore prompt
// with "accept".
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "GUIComm.h"

class HostWindow : public IGUIWindow {
public:
    // path "" writes to standard output. Throws std::runtime_error when the file cannot be
    // opened.
    explicit HostWindow(const std::string& path);
    ~HostWindow() override;
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    bool Post(unsigned message, intptr_t lParam) override;

    // One line of text, for the host's own events (started, stopping).
    void Line(const std::string& text);

    // How many file mutations the platform has seen, written on each line (set by main).
    void SetOpCounter(std::uint64_t (*counter)()) { m_counter = counter; }

    // Text form of a notification, without the line end.
    static std::string Describe(unsigned message, intptr_t lParam);

private:
    std::mutex m_lock;
    int m_fd = -1;
    bool m_ownsFd = false;
    std::uint64_t (*m_counter)() = nullptr;
};
