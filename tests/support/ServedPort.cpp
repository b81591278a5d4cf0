#include "ServedPort.h"

#include <random>

#include "Platform.h"

namespace testsupport {

namespace {

// Random over the range: test processes started in the same millisecond must not walk the
// same sequence of ports.
int Candidate()
{
    static std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<int>(kFirstServedPort, kLastServedPort)(generator);
}

} // namespace

HeldPort HoldServedPort()
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = Candidate();
        const int s = hl::Os().Listen(static_cast<std::uint16_t>(port), 1);
        if (s >= 0)
            return HeldPort{port, s};
    }
    return HeldPort{};
}

int StartOnServedPort(const std::function<bool(int port)>& start, int attempts)
{
    // Every failure is retried: a port may be taken by another test process and freed again
    // before this one could look, so "in use" cannot be told apart afterwards. A start that
    // fails for any other reason fails every attempt.
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int port = Candidate();
        if (start(port))
            return port;
    }
    return -1;
}

} // namespace testsupport
