// A recursive, process-local lock.
#pragma once

#include <mutex>

class OS_CLockable {
public:
    OS_CLockable() = default;
    OS_CLockable(const OS_CLockable&) = delete;
    OS_CLockable& operator=(const OS_CLockable&) = delete;

    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }
    bool TryLock() { return mutex_.try_lock(); }

private:
    std::recursive_mutex mutex_;
};
