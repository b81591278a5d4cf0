// Holds an OS_CLockable for the scope (released also when an exception passes).
#pragma once

#include "OS_CLockable.h"

class OS_CAutoLock {
public:
    explicit OS_CAutoLock(OS_CLockable* lockable) : lockable_(lockable) { lockable_->Lock(); }
    explicit OS_CAutoLock(OS_CLockable& lockable) : OS_CAutoLock(&lockable) {}
    ~OS_CAutoLock() { lockable_->Unlock(); }
    OS_CAutoLock(const OS_CAutoLock&) = delete;
    OS_CAutoLock& operator=(const OS_CAutoLock&) = delete;

private:
    OS_CLockable* lockable_;
};
