#include "CRand.h"

#include <new>

#include "OS_CAutoLock.h"
#include "Platform.h"
#include "utilCrc.h"

CRand::CRand(const void* seed, std::size_t length)
{
    state_.reset(new (std::nothrow) std::uint32_t[kStateSize]);
    lock_.reset(new (std::nothrow) OS_CLockable);
    if (!state_ || !lock_) {
        error_ = true;
        return;
    }
    unsigned char tick[4];
    const unsigned char* b = static_cast<const unsigned char*>(seed);
    std::size_t n = length;
    if (!seed || length == 0) {
        std::uint32_t v = static_cast<std::uint32_t>(hl::Os().MonotonicMs()) ^ 0x0BAD5EEDu;
        for (int i = 0; i < 4; ++i)
            tick[i] = static_cast<unsigned char>(v >> (8 * i));
        b = tick;
        n = 4;
    }
    std::uint32_t x = utilCrc32(b, static_cast<std::int64_t>(n));
    for (std::size_t i = 0; i < kStateSize; ++i) {
        x = x * 69069u + 1u;
        state_[i] = static_cast<std::uint32_t>(b[i % n]) + x;
    }
    for (std::size_t j = 0; j < 1872; ++j) {
        x = x * 69069u + 1u;
        std::uint32_t& s = state_[x % kStateSize];
        s = s * (static_cast<std::uint32_t>(b[j % n]) + x);
    }
}

CRand::~CRand() = default;

bool CRand::Next(std::uint32_t& value, std::uint32_t maximum)
{
    if (error_)
        return false;
    std::uint32_t v;
    {
        OS_CAutoLock guard(lock_.get());
        std::uint32_t y = (state_[current_] & 0x80000000u) | (state_[next_] & 0x7FFFFFFFu);
        v = (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u);
        v ^= state_[far_];
        state_[current_] = v;
        if (++current_ == kStateSize)
            current_ = 0;
        if (++next_ == kStateSize)
            next_ = 0;
        if (++far_ == kStateSize)
            far_ = 0;
    }
    v ^= v >> 11;
    v ^= (v << 7) & 0x9D2C5680u;
    v ^= (v << 15) & 0xEFC60000u;
    v ^= v >> 18;
    value = maximum == 0xFFFFFFFFu ? v : v % (maximum + 1u);
    return true;
}
