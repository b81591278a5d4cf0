#include "CRand.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "utilCrc.h"

namespace {

// The seeding as designed, loaded into the standard library's MT19937, whose
// recurrence and tempering the generator must match.
std::mt19937 Reference(const unsigned char* b, std::size_t n)
{
    std::uint32_t state[624];
    std::uint32_t x = utilCrc32(b, static_cast<std::int64_t>(n));
    for (std::size_t i = 0; i < 624; ++i) {
        x = x * 69069u + 1u;
        state[i] = b[i % n] + x;
    }
    for (std::size_t j = 0; j < 1872; ++j) {
        x = x * 69069u + 1u;
        state[x % 624] *= b[j % n] + x;
    }
    std::stringstream text;
    for (std::uint32_t w : state)
        text << w << ' ';
    std::mt19937 engine;
    text >> engine;
    return engine;
}

} // namespace

TEST(CRand, MatchesMt19937FromTheDesignedSeed)
{
    const unsigned char seed[] = {'0', '0', '0', '1', 'A', '2', 'B', '3', 0xFE, 0x80};
    CRand rand(seed, sizeof seed);
    std::mt19937 reference = Reference(seed, sizeof seed);
    for (int i = 0; i < 2000; ++i) { // more than three passes over the state
        std::uint32_t v = 0;
        ASSERT_TRUE(rand.Next(v, 0xFFFFFFFFu));
        ASSERT_EQ(v, reference()) << "at " << i;
    }
}

TEST(CRand, SameSeedSameSequenceAndMaximumBounds)
{
    const char seed[] = "server-0001A2B3";
    CRand a(seed, sizeof seed - 1), b(seed, sizeof seed - 1);
    std::mt19937 reference = Reference(reinterpret_cast<const unsigned char*>(seed), sizeof seed - 1);
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 5000; ++i) {
        std::uint32_t x = 0, y = 0;
        ASSERT_TRUE(a.Next(x, 9999));
        ASSERT_TRUE(b.Next(y, 9999));
        EXPECT_EQ(x, y);
        EXPECT_LE(x, 9999u);
        EXPECT_EQ(x, reference() % 10000u);
        seen.insert(x);
    }
    EXPECT_GT(seen.size(), 3000u); // spread over the range, not stuck
}

TEST(CRand, TickSeededGeneratorsWork)
{
    CRand rand(nullptr, 0);
    std::uint32_t first = 0, v = 0;
    ASSERT_TRUE(rand.Next(first, 0xFFFFFFFFu));
    bool differs = false;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(rand.Next(v, 0xFFFFFFFFu));
        differs = differs || v != first;
    }
    EXPECT_TRUE(differs);
}

TEST(CRand, ConcurrentCallersDrawEachNumberOnce)
{
    const char seed[] = "shared";
    CRand rand(seed, 6);
    std::mt19937 reference = Reference(reinterpret_cast<const unsigned char*>(seed), 6);
    std::multiset<std::uint32_t> expected, got;
    for (int i = 0; i < 4000; ++i)
        expected.insert(reference());
    std::vector<std::vector<std::uint32_t>> parts(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) {
                std::uint32_t v;
                rand.Next(v, 0xFFFFFFFFu);
                parts[t].push_back(v);
            }
        });
    for (auto& th : threads)
        th.join();
    for (auto& p : parts)
        got.insert(p.begin(), p.end());
    EXPECT_EQ(got, expected);
}
