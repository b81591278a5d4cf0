#pragma once
// A numbered window message with one word of payload, posted into the Qt
// event loop of the window thread. The event type is the message number.

#include <QEvent>
#include <cstdint>

class CWindowMessageEvent : public QEvent {
public:
    CWindowMessageEvent(unsigned message, intptr_t lParam);
    // A message never handled (the window went away first) frees its payload.
    ~CWindowMessageEvent() override;

    // The receiving handler now owns the payload.
    void SetHandled() { m_handled = true; }

    unsigned Message() const { return static_cast<unsigned>(type()); }
    intptr_t LParam() const { return m_lParam; }

    // Window messages live in the WM_APP range, inside Qt's user event range.
    static bool IsWindowMessage(const QEvent* e);

private:
    intptr_t m_lParam;
    bool m_handled = false;
};
