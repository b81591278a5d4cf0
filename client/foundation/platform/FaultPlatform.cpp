#include "FaultPlatform.h"

#include <bit>

namespace hl {

void FaultPlatform::FailNth(std::uint64_t n, int error, std::uint32_t ops, bool sticky)
{
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = true;
    failAt_ = n;
    error_ = error;
    ops_ = ops;
    sticky_ = sticky;
    counted_ = 0;
    failures_ = 0;
}

void FaultPlatform::Disarm()
{
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
}

std::uint64_t FaultPlatform::Calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return counted_;
}

std::uint64_t FaultPlatform::Calls(PlatformOp op) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return perOp_[std::countr_zero(static_cast<std::uint32_t>(op)) & 31];
}

void FaultPlatform::ResetCounts()
{
    std::lock_guard<std::mutex> lock(mutex_);
    counted_ = 0;
    for (auto& c : perOp_)
        c = 0;
}

std::uint64_t FaultPlatform::Failures() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

void FaultPlatform::SetSocketStackVersion(int major, int minor)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stackVersion_ = std::make_pair(major, minor);
}

void FaultPlatform::SetWallClockMs(std::optional<std::int64_t> ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    wallClockMs_ = ms;
}

bool FaultPlatform::SocketStackVersion(int& major, int& minor)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stackVersion_) {
            major = stackVersion_->first;
            minor = stackVersion_->second;
            return true;
        }
    }
    return PlatformWrapper::SocketStackVersion(major, minor);
}

std::int64_t FaultPlatform::WallClockMs()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (wallClockMs_)
            return *wallClockMs_;
    }
    return PlatformWrapper::WallClockMs();
}

void FaultPlatform::AdvanceMonotonicMs(std::uint64_t ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    monotonicOffsetMs_ += ms;
}

std::uint64_t FaultPlatform::MonotonicMs()
{
    std::uint64_t offset = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        offset = monotonicOffsetMs_;
    }
    return PlatformWrapper::MonotonicMs() + offset;
}

int FaultPlatform::Intercept(PlatformOp op)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++perOp_[std::countr_zero(static_cast<std::uint32_t>(op)) & 31];
    if (!armed_) {
        ++counted_;
        return 0;
    }
    if (!(ops_ & op))
        return 0;
    ++counted_;
    if (counted_ == failAt_ || (sticky_ && counted_ > failAt_)) {
        ++failures_;
        return error_;
    }
    return 0;
}

} // namespace hl
