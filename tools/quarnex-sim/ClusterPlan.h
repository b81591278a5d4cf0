// Clusters for a simulated backup: generated (block IDs, main/scratch mix, lengths and
// contents chosen by options and a seed) or cut from a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimTypes.h"

namespace quarnexsim {

struct PlanOptions {
    std::uint32_t count = 0; // clusters to make
    std::uint32_t clusterSize = 4096;
    std::uint32_t firstBlock = 1; // block IDs first, first + step, ...
    std::uint32_t blockStep = 1;
    int scratchPercent = 0;   // share of clusters sent as scratch
    bool varyLengths = false; // lengths 0..clusterSize instead of clusterSize
    std::uint32_t seed = 1;
};

class ClusterPlan {
public:
    // Main clusters ascending by block ID, scratch clusters among them in shuffled order.
    static std::vector<SimCluster> Generate(const PlanOptions& options);
    // The file cut into clusterSize pieces, block IDs from firstBlock by blockStep, all main.
    static bool FromFile(const std::string& path, const PlanOptions& options,
                         std::vector<SimCluster>& clusters);
    // Deterministic contents.
    static void Fill(std::vector<std::uint8_t>& data, std::uint64_t seed);
};

} // namespace quarnexsim
