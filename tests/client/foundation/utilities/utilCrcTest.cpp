#include "utilCrc.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(utilCrc, CheckValues)
{
    EXPECT_EQ(utilCrc32("123456789", 9), 0xFC891918u);
    EXPECT_EQ(utilCrc32("abc", 3), 0x648CBB73u);
}

TEST(utilCrc, EmptyNullAndNegativeLengthGiveZero)
{
    EXPECT_EQ(utilCrc32("abc", 0), 0u);
    EXPECT_EQ(utilCrc32(nullptr, 5), 0u);
    EXPECT_EQ(utilCrc32("abc", -3), 0u);
}

TEST(utilCrc, HighBytesAreTakenUnsigned)
{
    // A signed-char table index would read outside the table for bytes >= 0x80.
    const unsigned char high[] = {0xFF, 0x80, 0xC3};
    const unsigned char low[] = {0x7F, 0x00, 0x43};
    EXPECT_NE(utilCrc32(high, 3), utilCrc32(low, 3));
    // One byte 0x80 worked by hand: ~((0xFFFFFFFF << 8) ^ T[0xFF ^ 0x80]) with T[0x7F].
    std::uint32_t r = 0x7Fu << 24;
    for (int i = 0; i < 8; ++i)
        r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
    EXPECT_EQ(utilCrc32(high + 1, 1), ~((0xFFFFFFFFu << 8) ^ r));
}
