// Plain data of the Quarnex server simulator: clusters as a server sends them and backup
// images as the service stores and restores them.
#pragma once

#include <cstdint>
#include <vector>

namespace quarnexsim {

// Mode bits of a cluster.
constexpr std::uint32_t kModeScratch = 0x1;
constexpr std::uint32_t kModeMain = 0x2;

struct SimCluster {
    std::uint32_t blockID = 0;
    std::uint32_t mode = kModeMain;
    std::vector<std::uint8_t> data;

    bool operator==(const SimCluster&) const = default;
};

// The five words of a backup header (also the HELLO identity of a backup).
struct SimHeader {
    std::uint32_t serialNumber = 0;
    std::uint32_t clusterSize = 0;
    std::uint32_t headerParam1 = 0;
    std::uint32_t headerParam2 = 0;
    std::uint32_t headerParam3 = 0;

    bool operator==(const SimHeader&) const = default;
};

// A stored backup: header and records in file order.
struct SimImage {
    SimHeader header;
    std::vector<SimCluster> records;

    bool operator==(const SimImage&) const = default;
};

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
inline void PutLE(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}
inline std::uint32_t GetLE(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

} // namespace quarnexsim
