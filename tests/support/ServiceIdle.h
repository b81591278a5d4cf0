// The one wait for a service to have ended every conversation. Header only: the targets that
// use it link the Quarnex simulator.
#pragma once

#include <cstdint>

#include "QuarnexSim.h"

namespace testsupport {

// A ping is answered only after the previous worker finished, its merge included. The limit
// is the largest merge of the suite under the sanitizers, so a service that never gets idle
// fails the test instead of hanging it.
inline bool ServiceIdle(std::uint16_t port)
{
    quarnexsim::QuarnexSim sim("127.0.0.1", port);
    sim.SetTimeoutMs(60000);
    std::uint32_t response = 1;
    return sim.Ping(response) && response == 0;
}

} // namespace testsupport
