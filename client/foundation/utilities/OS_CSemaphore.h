// A counting semaphore (maximum 0x7FFFFFFF) that OS_CHandleWait can also wait on.
#pragma once

#include <cstdint>

#include "OS_CHandleElement.h"

class OS_CSemaphore : public OS_CHandleElement {
public:
    explicit OS_CSemaphore(std::uint32_t initialCount);
    ~OS_CSemaphore() override;

    // True only when acquired within the time-out (0xFFFFFFFF waits for ever).
    bool Wait(std::uint32_t timeoutMs);
    void Release(std::uint32_t count = 1);
};
