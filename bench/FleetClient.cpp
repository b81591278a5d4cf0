#include "FleetClient.h"

#include <cstring>
#include <vector>

#include "BenchClient.h"
#include "Platform.h"

namespace bench {

FleetPush FleetClient::Push(std::uint16_t port, std::uint32_t serialNumber, const BenchPlan& plan,
                            const DataPool& pool)
{
    FleetPush r;
    r.started = FleetPush::Clock::now();
    // A blocking connect, as a Quarnex server makes it: a full accept queue makes the system
    // repeat the handshake after 1, 3, 7, ... seconds.
    const int fd = hl::Os().Connect("127.0.0.1", port);
    r.connected = FleetPush::Clock::now();
    if (fd < 0) {
        r.failure = "connect";
        return r;
    }
    auto fail = [&](const char* what) {
        r.failure = what;
        hl::Os().Close(fd);
        return r;
    };

    std::uint32_t answer = 1;
    if (!SendWords(fd, {kCmdHello, serialNumber, 1u, plan.ClusterSize(), kHeaderParam1, kHeaderParam2,
                        kHeaderParam3}))
        return fail("HELLO not sent");
    if (!ReadWord(fd, answer, kTimeoutMs) || answer != kRspOk)
        return fail("HELLO refused");
    r.answered = FleetPush::Clock::now();
    if (!SendWords(fd, {kCmdSize, plan.Count()}) || !ReadWord(fd, answer, kTimeoutMs) || answer != kRspOk)
        return fail("SIZE refused");

    constexpr std::size_t kBlock = 1u << 20;
    std::vector<std::uint8_t> block(kBlock + 16 + plan.ClusterSize());
    std::size_t fill = 0;
    BenchPlan p = plan;
    p.Rewind();
    PlannedCluster c;
    while (p.Next(c)) {
        std::uint8_t* m = block.data() + fill;
        PutBE(m, kCmdCluster);
        PutBE(m + 4, c.blockID);
        PutBE(m + 8, c.mode);
        PutBE(m + 12, c.length);
        std::memcpy(m + 16, pool.Slice(c.blockID, c.generation, c.length), c.length);
        fill += 16 + c.length;
        if (fill >= kBlock) {
            if (!hl::Os().SendAll(fd, block.data(), fill))
                return fail("CLUSTER not sent");
            fill = 0;
        }
    }
    PutBE(block.data() + fill, kCmdDone);
    fill += 4;
    if (!hl::Os().SendAll(fd, block.data(), fill) || !ReadWord(fd, answer, kTimeoutMs) || answer != kRspOk)
        return fail("DONE refused");
    r.done = FleetPush::Clock::now();
    std::uint8_t byte;
    const bool closed = hl::Os().WaitReadable(fd, kTimeoutMs) == 1 && hl::Os().Recv(fd, &byte, 1) <= 0;
    hl::Os().Close(fd);
    if (!closed) {
        r.failure = "connection left open after DONE";
        return r;
    }
    r.ok = true;
    return r;
}

} // namespace bench
