// What a benchmark sends: the sequence of clusters of one backup, computed on the fly (a
// 2 GiB backup of 512-byte clusters is four million of them), and their contents, cut from
// one pool of pseudo-random bytes so that producing them costs no more than a memcpy.
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

constexpr std::uint32_t kCmdHello = 0x55AA0001;
constexpr std::uint32_t kCmdSize = 0x55AA0002;
constexpr std::uint32_t kCmdCluster = 0x55AA0003;
constexpr std::uint32_t kCmdDone = 0x55AA0004;
constexpr std::uint32_t kCmdPing = 0x55AA0005;
constexpr std::uint32_t kCmdRestore = 0x55AA0006;
constexpr std::uint32_t kRspOk = 0;
constexpr std::uint32_t kModeScratch = 1;
constexpr std::uint32_t kModeMain = 2;

inline void PutBE(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}
inline std::uint32_t GetBE(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

// Pseudo-random bytes; the data of a cluster is a slice chosen by its block ID and the
// generation (0 for a full backup, 1 for the clusters an incremental replaces).
class DataPool {
public:
    DataPool();
    const std::uint8_t* Slice(std::uint32_t blockID, std::uint32_t generation, std::uint32_t length) const;

    static constexpr std::size_t kSpan = 16u << 20;

private:
    std::vector<std::uint8_t> m_bytes; // kSpan + the largest cluster, so every slice fits
};

struct PlannedCluster {
    std::uint32_t blockID = 0;
    std::uint32_t mode = kModeMain;
    std::uint32_t generation = 0;
    std::uint32_t length = 0;
};

class BenchPlan {
public:
    // Every block 1..count once, as main clusters in ascending order, full length.
    static BenchPlan Full(std::uint32_t count, std::uint32_t clusterSize);
    // Every block 1..count once, full length, about `scratchPercent` % of them (chosen by a
    // hash of the block ID) as scratch clusters in shuffled order spread evenly over the
    // transfer, the others as main clusters in ascending order.
    static BenchPlan FullWithScratch(std::uint32_t count, std::uint32_t clusterSize, int scratchPercent);
    // A tenth of the blocks of a full backup of `count`, half of them main clusters (ascending),
    // half scratch clusters (shuffled, interleaved with the main ones), generation 1.
    static BenchPlan Incremental(std::uint32_t count, std::uint32_t clusterSize);
    // `count` scratch clusters only, shuffled, each `length` bytes long.
    static BenchPlan ScratchOnly(std::uint32_t count, std::uint32_t clusterSize, std::uint32_t length);

    // Whether an incremental plan replaces block blockID (its data is then generation 1).
    static bool ReplacedByIncremental(std::uint32_t blockID)
    {
        return blockID % 20 == 1 || blockID % 20 == 11;
    }

    std::uint32_t Count() const { return m_count; }
    std::uint32_t ClusterSize() const { return m_clusterSize; }
    // Bytes of the whole conversation's CLUSTER commands (word, header and data).
    std::uint64_t StreamBytes() const;

    void Rewind()
    {
        m_next = 0;
        m_mainNext = 0;
        m_scratchNext = 0;
    }
    bool Next(PlannedCluster& out);

private:
    enum class Kind { Full, Incremental, ScratchOnly, FullWithScratch };
    Kind m_kind = Kind::Full;
    std::uint32_t m_count = 0; // clusters in the plan
    std::uint32_t m_clusterSize = 0;
    std::uint32_t m_length = 0;
    std::uint32_t m_next = 0;
    std::vector<std::uint32_t> m_main;    // incremental: main block IDs, ascending
    std::vector<std::uint32_t> m_scratch; // incremental and scratch-only: shuffled block IDs
    std::size_t m_mainNext = 0;
    std::size_t m_scratchNext = 0;
};

} // namespace bench
