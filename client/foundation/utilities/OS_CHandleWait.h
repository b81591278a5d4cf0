// Waits on several objects at once and tells which one fired.
#pragma once

#include <cstdint>
#include <vector>

#include "OS_CHandleElement.h"

// Outcomes of OS_CHandleWait::Wait.
enum : int {
    OS_WAIT_FAILED = 0,
    OS_WAIT_FIRST = 1,     // the first object (or all, waiting for all)
    OS_WAIT_ABANDONED = 2, // never on this platform (no abandoned mutexes)
    OS_WAIT_TIMEOUT = 3,
    OS_WAIT_OTHER = 4, // object number 1 or later
};

class OS_CHandleWait {
public:
    explicit OS_CHandleWait(const OS_CHandleElement& element);
    explicit OS_CHandleWait(OS_HANDLE handle);

    void Add(const OS_CHandleElement& element);
    void Add(OS_HANDLE handle);

    // Sets `handle` to OS_INVALID_HANDLE, waits and returns an outcome; on
    // OS_WAIT_FIRST/OS_WAIT_OTHER `handle` is the object that fired.
    int Wait(OS_HANDLE& handle, std::uint32_t timeoutMs, bool waitAll = false);
    // True only when the first object (or all, waiting for all) was signalled.
    bool WaitSignalled(bool waitAll, std::uint32_t timeoutMs);

    std::uint32_t Count() const { return static_cast<std::uint32_t>(handles_.size()); }
    std::uint32_t Capacity() const { return capacity_; }
    OS_HANDLE At(std::uint32_t i) const { return handles_.at(i); }

private:
    std::vector<OS_HANDLE> handles_; // not owned
    std::uint32_t capacity_ = 5;     // grows by 5, as the handle array did
};
