// CrashPlatform: a platform wrapper for crash tests that kills its own process with SIGKILL
// just before the Nth operation that changes the file system (writes, syncs, renames,
// deletes, creations), so a crash can be placed on every step of a transfer, merge or commit
// in turn. Counting starts when the wrapper is installed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "PlatformWrapper.h"

class CrashPlatform : public hl::PlatformWrapper {
public:
    explicit CrashPlatform(hl::Platform& inner) : hl::PlatformWrapper(inner) {}

    // 0 never kills.
    void KillAt(std::uint64_t n) { m_killAt = n; }
    // File-system changes seen so far.
    std::uint64_t Count() const { return m_count.load(); }
    // Where the kill notice goes before the process dies (descriptor, -1 for none).
    void SetNoticeFd(int fd) { m_noticeFd = fd; }

    // Sends SIGKILL to this process.
    static void KillSelf();
    // Blocks SIGTERM and SIGINT in the calling thread and every thread it starts later; call
    // first thing in main.
    static void BlockStopSignals();
    // Waits until SIGTERM or SIGINT arrives; returns the signal.
    static int WaitForStopSignal();
    static const char* OpName(hl::PlatformOp op);

protected:
    int Intercept(hl::PlatformOp op) override;

private:
    std::atomic<std::uint64_t> m_count{0};
    std::uint64_t m_killAt = 0;
    int m_noticeFd = -1;
};
