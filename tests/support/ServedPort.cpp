#include "ServedPort.h"

#include <cstdint>

#include "Platform.h"

namespace testsupport {

namespace {

// Spread over the range so that parallel test processes rarely pick the same port.
int Candidate(int attempt)
{
    const std::uint64_t seed = hl::Os().MonotonicMs() * 7919 + static_cast<std::uint64_t>(attempt) * 104729;
    return kFirstServedPort + static_cast<int>(seed % (kLastServedPort - kFirstServedPort + 1));
}

} // namespace

HeldPort HoldServedPort()
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = Candidate(attempt);
        const int s = hl::Os().Listen(static_cast<std::uint16_t>(port), 1);
        if (s >= 0)
            return HeldPort{port, s};
    }
    return HeldPort{};
}

int StartOnServedPort(const std::function<bool(int port)>& start, int attempts)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int port = Candidate(attempt);
        if (start(port))
            return port;
        // Retry only when the port is taken: if this process can bind it, the start failed
        // for another reason.
        const int s = hl::Os().Listen(static_cast<std::uint16_t>(port), 1);
        if (s >= 0) {
            hl::Os().Close(s);
            return -1;
        }
    }
    return -1;
}

} // namespace testsupport
