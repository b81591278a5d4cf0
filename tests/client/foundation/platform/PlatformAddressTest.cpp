// Listening on one chosen address and connecting from one, on loopback (every 127.x.y.z is
// this machine), and the fault wrapper in front of both.
#include <gtest/gtest.h>

#include <string>

#include "FaultPlatform.h"
#include "Platform.h"

using namespace hl;

namespace {

// Accepts one pending connection and gives the peer's address.
std::string AcceptPeer(Platform& os, int listener)
{
    if (os.WaitReadable(listener, 10000) != 1)
        return "(none)";
    std::string peer;
    const int s = os.Accept(listener, &peer);
    if (s < 0)
        return "(failed)";
    os.Close(s);
    return peer;
}

} // namespace

TEST(PlatformAddress, ListenOnOneAddressServesOnlyThatAddress)
{
    Platform& os = Os();
    const int listener = os.ListenOn("127.0.0.2", 0, 5);
    ASSERT_GE(listener, 0);
    const auto port = static_cast<std::uint16_t>(os.LocalPort(listener));
    ASSERT_GT(port, 0);

    EXPECT_EQ(os.Connect("127.0.0.1", port), -1); // nothing listens there
    const int client = os.Connect("127.0.0.2", port);
    ASSERT_GE(client, 0);
    EXPECT_EQ(AcceptPeer(os, listener), "127.0.0.1");
    os.Close(client);
    os.Close(listener);

    EXPECT_EQ(os.ListenOn("not an address", 0, 5), -1);
    EXPECT_EQ(os.ListenOn("192.0.2.1", 0, 5), -1); // not an address of this machine
}

TEST(PlatformAddress, ConnectFromAChosenSourceAddress)
{
    Platform& os = Os();
    const int listener = os.Listen(0, 5);
    ASSERT_GE(listener, 0);
    const auto port = static_cast<std::uint16_t>(os.LocalPort(listener));

    int client = os.ConnectFrom("127.0.0.3", "127.0.0.1", port);
    ASSERT_GE(client, 0);
    EXPECT_EQ(AcceptPeer(os, listener), "127.0.0.3");
    os.Close(client);
    client = os.ConnectFrom("", "127.0.0.1", port); // the system's choice
    ASSERT_GE(client, 0);
    EXPECT_EQ(AcceptPeer(os, listener), "127.0.0.1");
    os.Close(client);

    EXPECT_EQ(os.ConnectFrom("bogus", "127.0.0.1", port), -1);
    EXPECT_EQ(os.ConnectFrom("192.0.2.1", "127.0.0.1", port), -1); // cannot send from it
    EXPECT_EQ(os.ConnectFrom("127.0.0.3", "", port), -1);
    os.Close(listener);
}

TEST(PlatformAddress, FaultWrapperCountsAndFailsBothAsSocketCalls)
{
    FaultPlatform fault;
    fault.FailNth(1, kErrAccessDenied, kOpSocket);
    EXPECT_EQ(fault.ListenOn("127.0.0.1", 0, 5), -1);
    EXPECT_EQ(Platform::LastError(), kErrAccessDenied);
    fault.FailNth(1, kErrAccessDenied, kOpSocket);
    EXPECT_EQ(fault.ConnectFrom("127.0.0.2", "127.0.0.1", 1), -1);
    EXPECT_EQ(Platform::LastError(), kErrAccessDenied);

    fault.Disarm();
    const int listener = fault.ListenOn("127.0.0.1", 0, 5);
    ASSERT_GE(listener, 0);
    const auto port = static_cast<std::uint16_t>(fault.LocalPort(listener));
    const int client = fault.ConnectFrom("127.0.0.4", "127.0.0.1", port);
    ASSERT_GE(client, 0);
    EXPECT_EQ(AcceptPeer(fault, listener), "127.0.0.4");
    fault.Close(client);
    fault.Close(listener);
}

TEST(PlatformAddress, FaultWrapperMovesTheMonotonicClockForward)
{
    FaultPlatform fault;
    const std::uint64_t before = fault.MonotonicMs();
    fault.AdvanceMonotonicMs(600000);
    const std::uint64_t after = fault.MonotonicMs();
    EXPECT_GE(after, before + 600000);
    EXPECT_GE(PosixPlatform().MonotonicMs() + 600000, after); // only the offset, no more
}
