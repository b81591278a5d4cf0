#include "OS_CEvent.h"

#include "Platform.h"

OS_CEvent::OS_CEvent(int manualReset, int initialState, const char*, const void*)
    : OS_CHandleElement(hl::Os().CreateEvent(manualReset == 1, initialState != 0))
{}

OS_CEvent::~OS_CEvent() = default;

bool OS_CEvent::Set()
{
    return handle_ != OS_INVALID_HANDLE && hl::Os().SetEvent(handle_);
}

bool OS_CEvent::Reset()
{
    return handle_ != OS_INVALID_HANDLE && hl::Os().ResetEvent(handle_);
}

bool OS_CEvent::Wait(std::uint32_t timeoutMs)
{
    if (handle_ == OS_INVALID_HANDLE)
        return false;
    std::size_t index = 0;
    return hl::Os().WaitForObjects(&handle_, 1, false, timeoutMs, index) == hl::WaitResult::Signalled;
}
