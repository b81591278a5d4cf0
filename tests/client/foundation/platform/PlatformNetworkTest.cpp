#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "Platform.h"

using namespace hl;

TEST(PlatformNetwork, StackVersionIsTwoTwo) {
  int major = 0, minor = 0;
  ASSERT_TRUE(Os().SocketStackVersion(major, minor));
  EXPECT_EQ(major, 2);
  EXPECT_EQ(minor, 2);
}

TEST(PlatformNetwork, LoopbackConversation) {
  Platform& os = Os();
  int listener = os.Listen(0, 5);
  ASSERT_GE(listener, 0);
  int port = os.LocalPort(listener);
  ASSERT_GT(port, 0);
  EXPECT_EQ(os.WaitReadable(listener, 0), 0);  // nobody yet

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
  EXPECT_EQ(os.Recv(server, buf, sizeof buf), 0);  // orderly close

  // Sending to a closed peer fails instead of killing the process with SIGPIPE.
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) failed = !os.SendAll(server, big.data(), 65536);
  EXPECT_TRUE(failed);
  os.Close(server);
  os.Close(listener);
}

TEST(PlatformNetwork, ListenOnABusyPortFails) {
  Platform& os = Os();
  int first = os.Listen(0, 5);
  ASSERT_GE(first, 0);
  EXPECT_EQ(os.Listen(static_cast<std::uint16_t>(os.LocalPort(first)), 5), -1);
  EXPECT_EQ(os.Connect("not an address", 1), -1);
  os.Close(first);
}

TEST(PlatformNetwork, AddressListSkipsLoopback) {
  for (const std::string& a : Os().IPv4Addresses()) {
    EXPECT_NE(a.rfind("127.", 0), 0u) << a;
    EXPECT_NE(a.find('.'), std::string::npos) << a;
  }
}

TEST(PlatformNetwork, AddressChangeSourceIsWaitable) {
  Platform& os = Os();
  int source = os.OpenAddressChangeSource();
  if (source < 0) GTEST_SKIP() << "no netlink here: " << os.ErrorText(Platform::LastError());
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
