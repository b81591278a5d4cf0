// The IP address monitor against real address changes, made inside a network
// namespace of a child process so the host's network stays untouched.

#include "CIPAddrMonitor.h"

#include "CClientExc.h"
#include "Eventually.h"
#include "GUIComm.h"
#include "Platform.h"
#include "TestWindow.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// What the monitor posted to the window: address changes (CM_IPAddrChanged with 0), and
// anything else.
int Changes(TestWindow& window)
{
    int n = 0;
    for (const Note& note : window.Notes())
        n += note.message == CM_IPAddrChanged && note.value == 0;
    return n;
}

int Others(TestWindow& window)
{
    return static_cast<int>(window.Notes().size()) - Changes(window);
}

int Run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

constexpr int kSkip = 77;

// Body of the child, already in its own network namespace. Returns the exit code.
int ChildBody()
{
    if (Run("ip link add hlveth0 type veth peer name hlveth1") != 0 || Run("ip link set hlveth0 up") != 0 ||
        Run("ip link set hlveth1 up") != 0) {
        std::fprintf(stderr, "cannot create a veth pair in the namespace\n");
        return kSkip;
    }
    TestWindow window;
    {
        CIPAddrMonitor monitor(&window);
        // The first change may come before the monitor subscribed: add
        // addresses until one is reported.
        int tries = 0;
        while (Changes(window) == 0 && tries < 20) {
            Run("ip addr add 10.9.0." + std::to_string(++tries) + "/24 dev hlveth0");
            testsupport::Eventually([&] { return Changes(window) > 0; }, std::chrono::seconds(1));
        }
        if (Changes(window) == 0) {
            std::fprintf(stderr, "no post after %d address changes\n", tries);
            return 1;
        }
        const int before = Changes(window);
        Run("ip addr add 10.9.1.1/24 dev hlveth1");
        if (!testsupport::Eventually([&] { return Changes(window) > before; }, std::chrono::seconds(10))) {
            std::fprintf(stderr, "the second change was not reported\n");
            return 2;
        }
        const int afterAdd = Changes(window);
        Run("ip addr del 10.9.1.1/24 dev hlveth1");
        if (!testsupport::Eventually([&] { return Changes(window) > afterAdd; }, std::chrono::seconds(10))) {
            std::fprintf(stderr, "removing an address was not reported\n");
            return 3;
        }
        // The address list the window shows: up, non-loopback interfaces only.
        const auto list = hl::Os().IPv4Addresses();
        if (std::find(list.begin(), list.end(), "10.9.0.1") == list.end() ||
            std::find(list.begin(), list.end(), "10.9.1.1") != list.end() ||
            std::find(list.begin(), list.end(), "127.0.0.1") != list.end()) {
            std::fprintf(stderr, "unexpected address list\n");
            return 4;
        }
        // Deleting the monitor while it waits ends its thread (the destructor
        // returns only after the thread ended).
    }
    if (Others(window) != 0) {
        std::fprintf(stderr, "posted something other than CM_IPAddrChanged\n");
        return 5;
    }
    return 0;
}

TEST(CIPAddrMonitorTest, NullWindowThrowsBeforeAnyThreadStarts)
{
    try {
        CIPAddrMonitor monitor(nullptr);
        FAIL() << "no exception";
    } catch (const CClientExc& e) {
        EXPECT_STREQ(e.GetDescription(), "GUI handle is NULL.");
        EXPECT_EQ(e.GetId(), 1234);
        EXPECT_STREQ(e.GetFile(), "Presentation/CIPAddrMonitor");
    }
}

TEST(CIPAddrMonitorTest, StopsAtOnceWhileWaiting)
{
    TestWindow window;
    auto* monitor = new CIPAddrMonitor(&window);
    delete monitor; // returns once the thread ended; a hang here fails the run
    EXPECT_EQ(Others(window), 0);
}

TEST(CIPAddrMonitorTest, ReportsRealAddressChangesInANetworkNamespace)
{
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            _exit(kSkip + 1);
        _exit(ChildBody());
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died";
    const int code = WEXITSTATUS(status);
    if (code == kSkip + 1)
        GTEST_SKIP() << "network namespaces are not permitted here (unshare failed)";
    if (code == kSkip)
        GTEST_SKIP() << "no veth interfaces can be made in a network namespace here";
    EXPECT_EQ(code, 0) << "see the child's message above";
}

} // namespace
