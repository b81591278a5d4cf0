#include "OS_CHandleWait.h"

#include "Platform.h"

OS_CHandleWait::OS_CHandleWait(const OS_CHandleElement& element) : OS_CHandleWait(element.GetHandle()) {}

OS_CHandleWait::OS_CHandleWait(OS_HANDLE handle)
{
    handles_.reserve(capacity_);
    handles_.push_back(handle);
}

void OS_CHandleWait::Add(const OS_CHandleElement& element)
{
    Add(element.GetHandle());
}

void OS_CHandleWait::Add(OS_HANDLE handle)
{
    if (handles_.size() == capacity_) {
        capacity_ += 5;
        handles_.reserve(capacity_);
    }
    handles_.push_back(handle);
}

int OS_CHandleWait::Wait(OS_HANDLE& handle, std::uint32_t timeoutMs, bool waitAll)
{
    handle = OS_INVALID_HANDLE;
    std::size_t index = 0;
    switch (hl::Os().WaitForObjects(handles_.data(), handles_.size(), waitAll, timeoutMs, index)) {
    case hl::WaitResult::Signalled:
        if (waitAll || index == 0) {
            handle = handles_[0];
            return OS_WAIT_FIRST;
        }
        handle = handles_[index];
        return OS_WAIT_OTHER;
    case hl::WaitResult::Timeout: return OS_WAIT_TIMEOUT;
    case hl::WaitResult::Failed: break;
    }
    return OS_WAIT_FAILED;
}

bool OS_CHandleWait::WaitSignalled(bool waitAll, std::uint32_t timeoutMs)
{
    OS_HANDLE handle;
    return Wait(handle, timeoutMs, waitAll) == OS_WAIT_FIRST;
}
