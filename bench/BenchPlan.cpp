#include "BenchPlan.h"

#include <algorithm>
#include <random>

namespace bench {

namespace {

std::uint64_t Mix(std::uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<std::uint32_t> Shuffled(std::vector<std::uint32_t> ids, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::shuffle(ids.begin(), ids.end(), rng);
    return ids;
}

} // namespace

DataPool::DataPool() : m_bytes(kSpan + 65536)
{
    std::uint64_t x = 0x48617262ull;
    for (std::size_t i = 0; i < m_bytes.size(); i += 8) {
        x += 0x9E3779B97F4A7C15ull;
        const std::uint64_t z = Mix(x);
        for (std::size_t k = 0; k < 8 && i + k < m_bytes.size(); ++k)
            m_bytes[i + k] = static_cast<std::uint8_t>(z >> (8 * k));
    }
}

const std::uint8_t* DataPool::Slice(std::uint32_t blockID, std::uint32_t generation,
                                    std::uint32_t length) const
{
    if (length > m_bytes.size() - kSpan)
        return nullptr;
    const std::uint64_t offset = Mix((std::uint64_t(generation) << 32) | blockID) % kSpan;
    return m_bytes.data() + offset;
}

BenchPlan BenchPlan::Full(std::uint32_t count, std::uint32_t clusterSize)
{
    BenchPlan p;
    p.m_kind = Kind::Full;
    p.m_count = count;
    p.m_clusterSize = clusterSize;
    p.m_length = clusterSize;
    return p;
}

BenchPlan BenchPlan::FullWithScratch(std::uint32_t count, std::uint32_t clusterSize, int scratchPercent)
{
    BenchPlan p;
    p.m_kind = Kind::FullWithScratch;
    p.m_count = count;
    p.m_clusterSize = clusterSize;
    p.m_length = clusterSize;
    std::vector<std::uint32_t> scratch;
    for (std::uint32_t id = 1; id <= count; ++id) {
        if (Mix(0x5C7A7C40000000ull | id) % 100 < std::uint64_t(std::max(0, scratchPercent)))
            scratch.push_back(id);
        else
            p.m_main.push_back(id);
    }
    p.m_scratch = Shuffled(std::move(scratch), 13);
    return p;
}

BenchPlan BenchPlan::Incremental(std::uint32_t count, std::uint32_t clusterSize)
{
    BenchPlan p;
    p.m_kind = Kind::Incremental;
    p.m_clusterSize = clusterSize;
    p.m_length = clusterSize;
    std::vector<std::uint32_t> scratch;
    for (std::uint32_t id = 1; id <= count; ++id) {
        if (id % 20 == 1)
            p.m_main.push_back(id);
        else if (id % 20 == 11)
            scratch.push_back(id);
    }
    p.m_scratch = Shuffled(std::move(scratch), 7);
    p.m_count = static_cast<std::uint32_t>(p.m_main.size() + p.m_scratch.size());
    return p;
}

BenchPlan BenchPlan::ScratchOnly(std::uint32_t count, std::uint32_t clusterSize, std::uint32_t length)
{
    BenchPlan p;
    p.m_kind = Kind::ScratchOnly;
    p.m_count = count;
    p.m_clusterSize = clusterSize;
    p.m_length = std::min(length, clusterSize);
    std::vector<std::uint32_t> ids(count);
    for (std::uint32_t i = 0; i < count; ++i)
        ids[i] = i + 1;
    p.m_scratch = Shuffled(std::move(ids), 11);
    return p;
}

std::uint64_t BenchPlan::StreamBytes() const
{
    return std::uint64_t(m_count) * (16 + m_length);
}

bool BenchPlan::Next(PlannedCluster& out)
{
    if (m_next >= m_count)
        return false;
    out.length = m_length;
    switch (m_kind) {
    case Kind::Full:
        out.blockID = m_next + 1;
        out.mode = kModeMain;
        out.generation = 0;
        break;
    case Kind::Incremental: {
        // Alternate main and scratch while both last, so the scratch clusters arrive spread
        // over the transfer as a server's would.
        const bool takeMain =
            m_mainNext < m_main.size() && (m_next % 2 == 0 || m_scratchNext >= m_scratch.size());
        if (takeMain) {
            out.blockID = m_main[m_mainNext++];
            out.mode = kModeMain;
        } else {
            out.blockID = m_scratch[m_scratchNext++];
            out.mode = kModeScratch;
        }
        out.generation = 1;
        break;
    }
    case Kind::FullWithScratch: {
        // The scratch clusters spread evenly: after n clusters, n * scratch / count of them.
        const bool takeScratch =
            m_scratchNext < m_scratch.size() &&
            (m_mainNext >= m_main.size() ||
             std::uint64_t(m_scratchNext) * m_count < std::uint64_t(m_next + 1) * m_scratch.size());
        if (takeScratch) {
            out.blockID = m_scratch[m_scratchNext++];
            out.mode = kModeScratch;
        } else {
            out.blockID = m_main[m_mainNext++];
            out.mode = kModeMain;
        }
        out.generation = 0;
        break;
    }
    case Kind::ScratchOnly:
        out.blockID = m_scratch[m_scratchNext++];
        out.mode = kModeScratch;
        out.generation = 2;
        break;
    }
    ++m_next;
    return true;
}

} // namespace bench
