// Pieces shared by the reliability tests: a seeded random source, run-length settings from
// the environment, and checks of a restore against the image the service should hold. The
// wait for an idle service is testsupport::ServiceIdle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ClusterPlan.h"
#include "MergeModel.h"
#include "QuarnexSim.h"
#include "ServiceIdle.h"

namespace reliability {

// A number from the environment, or the fallback.
inline std::uint64_t EnvNumber(const char* name, std::uint64_t fallback)
{
    const char* v = std::getenv(name);
    if (!v || !*v)
        return fallback;
    return std::strtoull(v, nullptr, 0);
}

class Random {
public:
    explicit Random(std::uint64_t seed) : m_engine(seed) {}
    // Uniform in [lo, hi].
    std::uint64_t Between(std::uint64_t lo, std::uint64_t hi)
    {
        return std::uniform_int_distribution<std::uint64_t>(lo, hi)(m_engine);
    }
    bool Chance(int percent) { return Between(0, 99) < static_cast<std::uint64_t>(percent); }
    std::mt19937_64& Engine() { return m_engine; }

private:
    std::mt19937_64 m_engine;
};

// The eight-digit server identifier of a serial number.
inline std::string ServerId(std::uint32_t serial)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", serial);
    return buf;
}

// What came back from a RESTORE.
struct RestoreOutcome {
    bool refused = false; // SFS_RSP_ERROR: no backup to restore
    bool complete = false;
    quarnexsim::SimImage image;
    std::string failure;
};

inline RestoreOutcome RestoreFrom(std::uint16_t port, std::uint32_t serial)
{
    quarnexsim::QuarnexSim sim("127.0.0.1", port);
    sim.SetTimeoutMs(20000);
    RestoreOutcome out;
    const quarnexsim::RestoreResult r = sim.Restore(serial, out.image);
    out.refused = r.answered && r.response == 0xFFFFFFFFu;
    out.complete = r.answered && r.response == 0 && r.gotDone;
    out.failure = r.failure;
    return out;
}

inline bool SameImage(const quarnexsim::SimImage& a, const quarnexsim::SimImage& b)
{
    return quarnexsim::MergeModel::Serialize(a) == quarnexsim::MergeModel::Serialize(b);
}

inline std::string Describe(const quarnexsim::SimImage& image)
{
    return std::to_string(image.records.size()) + " records, " +
           std::to_string(quarnexsim::MergeModel::Serialize(image).size()) + " bytes";
}

} // namespace reliability
