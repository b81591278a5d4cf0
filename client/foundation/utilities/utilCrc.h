// CRC-32, most-significant bit first (polynomial 0x04C11DB7, CRC-32/BZIP2).
#pragma once

#include <cstdint>

// 0 for a null buffer or a length of zero or less.
std::uint32_t utilCrc32(const void* buffer, std::int64_t length);
