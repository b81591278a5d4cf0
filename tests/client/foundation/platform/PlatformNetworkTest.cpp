#include <gtest/gtest.h>

#include <cstring>
#include <future>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>

#include "Platform.h"

using namespace hl;

TEST(PlatformNetwork, StackVersionIsTwoTwo)
{
    int major = 0, minor = 0;
    ASSERT_TRUE(Os().SocketStackVersion(major, minor));
    EXPECT_EQ(major, 2);
    EXPECT_EQ(minor, 2);
}

TEST(PlatformNetwork, LoopbackConversation)
{
    Platform& os = Os();
    int listener = os.Listen(0, 5);
    ASSERT_GE(listener, 0);
    int port = os.LocalPort(listener);
    ASSERT_GT(port, 0);
    EXPECT_EQ(os.WaitReadable(listener, 0), 0); // nobody yet

    int client = os.Connect("127.0.0.1", static_cast<std::uint16_t>(port));
    ASSERT_GE(client, 0);
    ASSERT_EQ(os.WaitReadable(listener, kInfinite), 1);
    std::string peer;
    int server = os.Accept(listener, &peer);
    ASSERT_GE(server, 0);
    EXPECT_EQ(peer, "127.0.0.1");

    // A large send completes whole although the peer reads in pieces.
    std::string big(4 * 1024 * 1024, 'k');
    std::thread sender([&] { EXPECT_TRUE(os.SendAll(client, big.data(), big.size())); });
    std::string got;
    char buf[65536];
    while (got.size() < big.size()) {
        std::int64_t n = os.Recv(server, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<std::size_t>(n));
    }
    sender.join();
    EXPECT_EQ(got, big);

    os.Close(client);
    EXPECT_EQ(os.WaitReadable(server, kInfinite), 1);
    EXPECT_EQ(os.Recv(server, buf, sizeof buf), 0); // orderly close

    // Sending to a closed peer fails instead of killing the process with SIGPIPE.
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i)
        failed = !os.SendAll(server, big.data(), 65536);
    EXPECT_TRUE(failed);
    os.Close(server);
    os.Close(listener);
}

// A peer that stops reading: with a send time-out the sender gets its error back instead of
// waiting for ever; keep-alive is switched on with the asked-for timing.
TEST(PlatformNetwork, SendTimeOutAndKeepAliveOfAConnectedSocket)
{
    Platform& os = Os();
    int listener = os.Listen(0, 5);
    ASSERT_GE(listener, 0);
    int client = os.Connect("127.0.0.1", static_cast<std::uint16_t>(os.LocalPort(listener)));
    ASSERT_GE(client, 0);
    int server = os.Accept(listener, nullptr);
    ASSERT_GE(server, 0);

    ASSERT_TRUE(os.SetKeepAlive(server, 45000, 5000, 4));
    int value = 0;
    socklen_t len = sizeof value;
    ASSERT_EQ(::getsockopt(server, SOL_SOCKET, SO_KEEPALIVE, &value, &len), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(::getsockopt(server, IPPROTO_TCP, TCP_KEEPIDLE, &value, &len), 0);
    EXPECT_EQ(value, 45);
    ASSERT_EQ(::getsockopt(server, IPPROTO_TCP, TCP_KEEPINTVL, &value, &len), 0);
    EXPECT_EQ(value, 5);
    ASSERT_EQ(::getsockopt(server, IPPROTO_TCP, TCP_KEEPCNT, &value, &len), 0);
    EXPECT_EQ(value, 4);

    ASSERT_TRUE(os.SetSendTimeout(server, 200));
    // The client never reads: the buffers fill and the send gives up.
    auto sent = std::async(std::launch::async, [&] {
        std::string block(1024 * 1024, 's');
        for (int i = 0; i < 512; ++i) {
            if (!os.SendAll(server, block.data(), block.size()))
                return Platform::LastError();
        }
        return 0;
    });
    if (sent.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ::shutdown(server, SHUT_RDWR); // let the stuck sender go before failing
        sent.wait();
        FAIL() << "a send to a peer that does not read never timed out";
    }
    EXPECT_EQ(sent.get(), static_cast<int>(kErrTimeout));
    os.Close(client);
    os.Close(server);
    os.Close(listener);
}

TEST(PlatformNetwork, ListenOnABusyPortFails)
{
    Platform& os = Os();
    int first = os.Listen(0, 5);
    ASSERT_GE(first, 0);
    EXPECT_EQ(os.Listen(static_cast<std::uint16_t>(os.LocalPort(first)), 5), -1);
    EXPECT_EQ(os.Connect("not an address", 1), -1);
    os.Close(first);
}

TEST(PlatformNetwork, AddressListSkipsLoopback)
{
    for (const std::string& a : Os().IPv4Addresses()) {
        EXPECT_NE(a.rfind("127.", 0), 0u) << a;
        EXPECT_NE(a.find('.'), std::string::npos) << a;
    }
}

TEST(PlatformNetwork, AddressChangeSourceIsWaitable)
{
    Platform& os = Os();
    int source = os.OpenAddressChangeSource();
    if (source < 0)
        GTEST_SKIP() << "no netlink here: " << os.ErrorText(Platform::LastError());
    int stop = os.CreateEvent(false, false);
    int handles[] = {source, stop};
    std::size_t index = 99;
    os.DrainAddressChangeSource(source);
    os.SetEvent(stop);
    EXPECT_EQ(os.WaitForObjects(handles, 2, false, kInfinite, index), WaitResult::Signalled);
    EXPECT_EQ(index, 1u);
    os.Close(stop);
    os.Close(source);
}
