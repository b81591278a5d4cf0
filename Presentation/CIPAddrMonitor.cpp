#include "CIPAddrMonitor.h"

#include "CClientExc.h"
#include "CLog.h"
#include "OS_CEvent.h"
#include "OS_CHandleWait.h"
#include "Platform.h"

#include <atomic>

namespace {

constexpr int kCategoryApp = 31;
constexpr uint32_t kStopWaitMs = 11000;
std::atomic<uint32_t> s_retryPauseMs{10000};

} // namespace

void CIPAddrMonitor::SetRetryPauseMs(uint32_t ms)
{
    s_retryPauseMs = ms;
}

CIPAddrMonitor::CIPAddrMonitor(IGUIWindow* window) : OS_CThread(0, 0, "IPAddrMonitorThread"), m_window(window)
{
    if (!m_window)
        throw CClientExc("GUI handle is NULL.", 1234, "Presentation/CIPAddrMonitor", __LINE__);
    m_stopEvent = new OS_CEvent(0, 0, nullptr, nullptr);
    Start(0);
}

CIPAddrMonitor::~CIPAddrMonitor()
{
    m_stopEvent->Set();
    WaitForExit(kStopWaitMs);
    delete m_stopEvent;
}

uint32_t CIPAddrMonitor::Run(uintptr_t)
{
    return threadEntry();
}

void CIPAddrMonitor::PostToWindow()
{
    while (!m_window->Post(CM_IPAddrChanged, 0))
        hl::Os().Sleep(10);
}

uint32_t CIPAddrMonitor::threadEntry()
{
    hl::Platform& os = hl::Os();
    int source = -1;
    for (;;) {
        if (source < 0) {
            source = os.OpenAddressChangeSource();
            if (source < 0) {
                CLog::Error(kCategoryApp,
                            "CIPAddrMonitor::threadEntry(): NotifyAddrChange() failed (err = %d)\n",
                            hl::Platform::LastError());
                // The pause ends early when the window stops the monitor.
                if (m_stopEvent->Wait(s_retryPauseMs.load()))
                    break;
                continue;
            }
        }
        OS_CHandleWait wait(source);
        wait.Add(*m_stopEvent);
        OS_HANDLE fired = OS_INVALID_HANDLE;
        wait.Wait(fired, hl::kInfinite, false);
        if (fired == source) {
            os.DrainAddressChangeSource(source);
            CLog::Debug(kCategoryApp, "CIPAddrMonitor::threadEntry(): IP address table changed\n");
            PostToWindow();
        } else if (fired == m_stopEvent->GetHandle()) {
            break;
        } else {
            CLog::Error(kCategoryApp,
                        "CIPAddrMonitor::threadEntry(): Unexpected OS_CHandleWait.Wait() result. Exiting.\n");
            break;
        }
    }
    if (source >= 0)
        os.Close(source);
    return 0;
}
