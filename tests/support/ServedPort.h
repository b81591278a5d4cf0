// Ports of the range the service serves (1025-8191) for tests that need one rather than an
// ephemeral port. Nothing here probes a port and assumes it stays free: a port is either held
// open by the test, or a failed start is retried on another port.
#pragma once

#include <functional>

namespace testsupport {

constexpr int kFirstServedPort = 1025;
constexpr int kLastServedPort = 8191;

// A served port this process holds listening: it stays in use until the socket is closed.
struct HeldPort {
    int port = -1;
    int socket = -1; // close with hl::Os().Close
};
// Port and socket stay -1 when no served port could be bound.
HeldPort HoldServedPort();

// Calls `start` with random served ports until it succeeds and returns that port; -1 when no
// attempt succeeded.
int StartOnServedPort(const std::function<bool(int port)>& start, int attempts = 50);

} // namespace testsupport
