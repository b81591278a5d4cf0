// Mersenne-twister generator with a CRC-based seeding; safe to share between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "OS_CLockable.h"

class CRand {
public:
    static constexpr std::size_t kStateSize = 624;

    // Seeds from the bytes; null or empty seeds from the millisecond tick count.
    CRand(const void* seed, std::size_t length);
    ~CRand();
    CRand(const CRand&) = delete;
    CRand& operator=(const CRand&) = delete;

    // Next number; reduced modulo (maximum + 1) unless maximum is 0xFFFFFFFF.
    // False, `value` untouched, when the generator could not be set up.
    bool Next(std::uint32_t& value, std::uint32_t maximum);

private:
    std::unique_ptr<std::uint32_t[]> state_;
    std::unique_ptr<OS_CLockable> lock_;
    std::size_t current_ = 0;
    std::size_t next_ = 1;
    std::size_t far_ = 397;
    bool error_ = false;
};
