#include "OS_CSemaphore.h"

#include "Platform.h"

OS_CSemaphore::OS_CSemaphore(std::uint32_t initialCount)
    : OS_CHandleElement(hl::Os().CreateSemaphore(initialCount))
{}

OS_CSemaphore::~OS_CSemaphore() = default;

bool OS_CSemaphore::Wait(std::uint32_t timeoutMs)
{
    if (handle_ == OS_INVALID_HANDLE)
        return false;
    std::size_t index = 0;
    return hl::Os().WaitForObjects(&handle_, 1, false, timeoutMs, index) == hl::WaitResult::Signalled;
}

void OS_CSemaphore::Release(std::uint32_t count)
{
    if (handle_ != OS_INVALID_HANDLE)
        hl::Os().ReleaseSemaphore(handle_, count);
}
