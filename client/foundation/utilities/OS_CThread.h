// Abstract thread: derive, implement Run, Start once, stop it yourself, then
// WaitForExit before destroying the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "OS_CSemaphore.h"

class OS_CThread {
public:
    // The two words are stored only. Name "OS_CThread" when null.
    OS_CThread(std::uint32_t word1 = 0, std::uint32_t word2 = 0, const char* name = nullptr);
    virtual ~OS_CThread();
    OS_CThread(const OS_CThread&) = delete;
    OS_CThread& operator=(const OS_CThread&) = delete;

    // Starts the body on a new thread with `argument`. Throws OS_CExc when the
    // thread cannot be created.
    void Start(std::uintptr_t argument = 0);
    // True when the body is not running (finished), false after the time-out.
    // The object counts as running from Start on, so a call right after Start
    // does not report a body that has not begun yet as finished.
    bool WaitForExit(std::uint32_t timeoutMs);

    std::uint64_t GetThreadId() const { return threadId_.load(); }
    const std::string& GetName() const { return name_; }

protected:
    virtual std::uint32_t Run(std::uintptr_t argument) = 0;

private:
    static void runFnWrapper(OS_CThread* self);

    OS_CSemaphore runMarker_;
    std::uintptr_t argument_ = 0;
    std::atomic<std::uint64_t> threadId_{0};
    std::string name_;
    std::uint32_t word1_;
    std::uint32_t word2_;
};

// Suspends the calling thread.
void OS_Sleep(std::uint32_t ms);
