// One Quarnex server of a fleet: connects, pushes a full backup and records when each step
// happened, so that the fleet figure can tell waiting from work.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "BenchPlan.h"

namespace bench {

struct FleetPush {
    using Clock = std::chrono::steady_clock;
    bool ok = false; // DONE answered with OK and the connection closed by the service
    std::string failure;
    Clock::time_point started; // when the client began to connect
    Clock::time_point connected;
    Clock::time_point answered; // HELLO answered: the service took the connection
    Clock::time_point done;     // DONE answered
};

class FleetClient {
public:
    // Waits for any answer at most this long (the last of a large fleet waits for all others).
    static constexpr int kTimeoutMs = 900000;

    // HELLO, SIZE, every cluster of the full plan (block data from pool, generation 0), DONE.
    static FleetPush Push(std::uint16_t port, std::uint32_t serialNumber, const BenchPlan& plan,
                          const DataPool& pool);

    // The bytes the service stores for that backup: the 20-byte header (little-endian words)
    // and each record (12-byte big-endian header and data), fed to sink in pieces.
    template <typename Sink>
    static void ExpectedImage(std::uint32_t serialNumber, const BenchPlan& plan, const DataPool& pool,
                              Sink sink);

    static constexpr std::uint32_t kHeaderParam1 = 0x46;
    static constexpr std::uint32_t kHeaderParam2 = 0x4C;
    static constexpr std::uint32_t kHeaderParam3 = 0x54;
};

template <typename Sink>
void FleetClient::ExpectedImage(std::uint32_t serialNumber, const BenchPlan& plan, const DataPool& pool,
                                Sink sink)
{
    std::uint8_t header[20];
    const std::uint32_t words[5] = {serialNumber, plan.ClusterSize(), kHeaderParam1, kHeaderParam2,
                                    kHeaderParam3};
    for (int i = 0; i < 5; ++i)
        for (int k = 0; k < 4; ++k)
            header[i * 4 + k] = static_cast<std::uint8_t>(words[i] >> (8 * k));
    sink(header, sizeof header);
    BenchPlan p = plan;
    p.Rewind();
    PlannedCluster c;
    while (p.Next(c)) {
        std::uint8_t rec[12];
        PutBE(rec, c.blockID);
        PutBE(rec + 4, c.mode);
        PutBE(rec + 8, c.length);
        sink(rec, sizeof rec);
        sink(pool.Slice(c.blockID, c.generation, c.length), c.length);
    }
}

} // namespace bench
