// An event that OS_CHandleWait can wait on together with other objects.
#pragma once

#include <cstdint>

#include "OS_CHandleElement.h"

class OS_CEvent : public OS_CHandleElement {
public:
    // Manual-reset only when `manualReset` equals 1; signalled at once when
    // `initialState` is non-zero. Name and security are accepted and ignored.
    explicit OS_CEvent(int manualReset = 0, int initialState = 0, const char* name = nullptr,
                       const void* security = nullptr);
    ~OS_CEvent() override;

    bool Set();
    bool Reset();
    // Waits for this event alone; true when it was signalled within the time-out
    // (an auto-reset event is reset by this wait). 0xFFFFFFFF waits for ever.
    bool Wait(std::uint32_t timeoutMs);
};
