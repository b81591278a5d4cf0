// Fault injection for tests: forwards to another platform, counts the calls of
// a chosen class of operations and fails the Nth one with a chosen error,
// optionally every later one too (a disk that stays full).
//
// Crash-injection loop:
//   for (k = 1;; ++k) {
//     FaultPlatform fault(PosixPlatform());
//     fault.FailNth(k, kErrDiskFull, kOpFileMutations);
//     { ScopedPlatform use(fault); RunOperation(); }
//     CheckInvariant();
//     if (!fault.Hit()) break;  // the operation ran to its end without a fault
//   }
#pragma once

#include "PlatformWrapper.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace hl {

class FaultPlatform : public PlatformWrapper {
public:
    explicit FaultPlatform(Platform& inner = PosixPlatform()) : PlatformWrapper(inner) {}
    // Stacks in front of another fault wrapper (not a copy).
    explicit FaultPlatform(FaultPlatform& inner) : PlatformWrapper(static_cast<Platform&>(inner)) {}
    FaultPlatform(const FaultPlatform&) = delete;
    FaultPlatform& operator=(const FaultPlatform&) = delete;

    // Arms the fault: the nth (1-based) call among the operations in `ops`
    // counted from now fails with `error`; with `sticky` every later one as well.
    void FailNth(std::uint64_t n, int error, std::uint32_t ops = kOpAll, bool sticky = false);
    // Every call in `ops` fails from now on.
    void FailAll(int error, std::uint32_t ops) { FailNth(1, error, ops, true); }
    void Disarm();

    // Calls of the armed class counted since FailNth (all calls when unarmed).
    std::uint64_t Calls() const;
    // Calls of one operation class since construction or ResetCounts.
    std::uint64_t Calls(PlatformOp op) const;
    void ResetCounts();
    // Number of calls made to fail.
    std::uint64_t Failures() const;
    bool Hit() const { return Failures() > 0; }

    // What SocketStackVersion reports (unset: the inner platform's answer).
    void SetSocketStackVersion(int major, int minor);
    // Fixes the wall clock (unset: the inner platform's clock).
    void SetWallClockMs(std::optional<std::int64_t> ms);
    // Moves the monotonic clock forward by `ms` (added to every later reading), so a test can
    // let a period of minutes pass at once.
    void AdvanceMonotonicMs(std::uint64_t ms);

    bool SocketStackVersion(int& major, int& minor) override;
    std::int64_t WallClockMs() override;
    std::uint64_t MonotonicMs() override;

protected:
    int Intercept(PlatformOp op) override;

private:
    mutable std::mutex mutex_;
    bool armed_ = false;
    std::uint64_t failAt_ = 0;
    int error_ = 0;
    std::uint32_t ops_ = kOpAll;
    bool sticky_ = false;
    std::uint64_t counted_ = 0;
    std::uint64_t failures_ = 0;
    std::uint64_t perOp_[32] = {};
    std::optional<std::pair<int, int>> stackVersion_;
    std::optional<std::int64_t> wallClockMs_;
    std::uint64_t monotonicOffsetMs_ = 0;
};

} // namespace hl
