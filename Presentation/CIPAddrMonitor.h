#pragma once
// Watches the PC's IPv4 address table on its own thread and tells the main
// window, which refreshes the address display, after every change.

#include "GUIComm.h"
#include "OS_CThread.h"
#include "WindowMessages.h"

#include <cstdint>

class OS_CEvent;

class CIPAddrMonitor : public OS_CThread {
public:
    // Starts the thread at once. Throws CClientExc when window is null.
    explicit CIPAddrMonitor(IGUIWindow* window);
    ~CIPAddrMonitor() override;

    CIPAddrMonitor(const CIPAddrMonitor&) = delete;
    CIPAddrMonitor& operator=(const CIPAddrMonitor&) = delete;

    // Pause after a failed subscription (10 s); tests shorten it.
    static void SetRetryPauseMs(uint32_t ms);

protected:
    uint32_t Run(uintptr_t argument) override;

private:
    uint32_t threadEntry();
    void PostToWindow();

    IGUIWindow* m_window;
    OS_CEvent* m_stopEvent = nullptr;
};
