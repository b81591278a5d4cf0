#include "ClusterPlan.h"

#include <algorithm>
#include <random>

#include "Platform.h"

namespace quarnexsim {

void ClusterPlan::Fill(std::vector<std::uint8_t>& data, std::uint64_t seed)
{
    // splitmix64: cheap and good enough for test contents.
    std::uint64_t x = seed;
    for (std::size_t i = 0; i < data.size(); i += 8) {
        x += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (std::size_t k = 0; k < 8 && i + k < data.size(); ++k)
            data[i + k] = static_cast<std::uint8_t>(z >> (8 * k));
    }
}

std::vector<SimCluster> ClusterPlan::Generate(const PlanOptions& o)
{
    std::mt19937 rng(o.seed);
    std::vector<SimCluster> main;
    std::vector<SimCluster> scratch;
    for (std::uint32_t i = 0; i < o.count; ++i) {
        SimCluster c;
        c.blockID = o.firstBlock + i * o.blockStep;
        const bool isScratch = o.scratchPercent > 0 && static_cast<int>(rng() % 100) < o.scratchPercent;
        c.mode = isScratch ? kModeScratch : kModeMain;
        const std::uint32_t length =
            o.varyLengths ? static_cast<std::uint32_t>(rng() % (o.clusterSize + 1)) : o.clusterSize;
        c.data.resize(length);
        Fill(c.data, (std::uint64_t(o.seed) << 32) ^ c.blockID ^ (std::uint64_t(i) << 48));
        (isScratch ? scratch : main).push_back(std::move(c));
    }
    std::shuffle(scratch.begin(), scratch.end(), rng);
    // Interleave: main keeps its ascending order, scratch clusters come in between.
    std::vector<SimCluster> out;
    out.reserve(main.size() + scratch.size());
    std::size_t m = 0, s = 0;
    while (m < main.size() || s < scratch.size()) {
        const bool takeScratch = s < scratch.size() && (m >= main.size() || rng() % 2 == 0);
        out.push_back(std::move(takeScratch ? scratch[s++] : main[m++]));
    }
    return out;
}

bool ClusterPlan::FromFile(const std::string& path, const PlanOptions& o, std::vector<SimCluster>& clusters)
{
    clusters.clear();
    if (o.clusterSize == 0)
        return false;
    hl::Platform& os = hl::Os();
    const int fd = os.OpenFile(path, hl::OpenMode::Read);
    if (fd < 0)
        return false;
    bool ok = true;
    std::uint32_t id = o.firstBlock;
    for (;;) {
        SimCluster c;
        c.blockID = id;
        c.mode = kModeMain;
        c.data.resize(o.clusterSize);
        std::size_t got = 0;
        while (got < c.data.size()) {
            const std::int64_t n = os.Read(fd, c.data.data() + got, c.data.size() - got);
            if (n < 0)
                ok = false;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        if (!ok || got == 0)
            break;
        c.data.resize(got);
        clusters.push_back(std::move(c));
        id += o.blockStep;
    }
    os.Close(fd);
    return ok;
}

} // namespace quarnexsim
