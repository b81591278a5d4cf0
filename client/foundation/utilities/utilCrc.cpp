#include "utilCrc.h"

#include <array>

namespace {

constexpr std::array<std::uint32_t, 256> MakeTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        table[i] = r;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x04C11DB7u);

} // namespace

std::uint32_t utilCrc32(const void* buffer, std::int64_t length)
{
    if (!buffer || length <= 0)
        return 0;
    auto* p = static_cast<const unsigned char*>(buffer);
    std::uint32_t r = 0xFFFFFFFFu;
    for (std::int64_t i = 0; i < length; ++i)
        r = (r << 8) ^ kTable[(r >> 24) ^ p[i]];
    return ~r;
}
