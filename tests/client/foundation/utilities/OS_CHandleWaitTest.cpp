#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "OS_CEvent.h"
#include "OS_CHandleWait.h"
#include "OS_CSemaphore.h"
#include "OS_CThread.h"
#include "Platform.h"

TEST(OS_CHandleWait, ReportsWhichOfTwoEventsFired)
{
    OS_CEvent first, second;
    OS_CHandleWait wait(first);
    wait.Add(second);
    OS_HANDLE fired = 12345;

    ASSERT_TRUE(second.Set());
    EXPECT_EQ(wait.Wait(fired, 0), OS_WAIT_OTHER);
    EXPECT_EQ(fired, second.GetHandle());

    ASSERT_TRUE(first.Set());
    EXPECT_EQ(wait.Wait(fired, 0), OS_WAIT_FIRST);
    EXPECT_EQ(fired, first.GetHandle());

    // Both were auto-reset by the waits that took them.
    EXPECT_EQ(wait.Wait(fired, 0), OS_WAIT_TIMEOUT);
    EXPECT_EQ(fired, OS_INVALID_HANDLE);
}

TEST(OS_CHandleWait, WakesWhenAnotherThreadSignals)
{
    OS_CEvent stop, change;
    OS_CHandleWait wait(change);
    wait.Add(stop);
    std::thread t([&] { stop.Set(); });
    OS_HANDLE fired = OS_INVALID_HANDLE;
    EXPECT_EQ(wait.Wait(fired, hl::kInfinite), OS_WAIT_OTHER);
    EXPECT_EQ(fired, stop.GetHandle());
    t.join();
}

TEST(OS_CHandleWait, RawDescriptorJoinsTheWait)
{
    // A listening socket turns readable when a peer connects, as the address
    // change source does when an address changes.
    hl::Platform& os = hl::Os();
    int listener = os.Listen(0, 5);
    ASSERT_GE(listener, 0);
    OS_CEvent stop;
    OS_CHandleWait wait(stop);
    wait.Add(listener);
    OS_HANDLE fired;
    EXPECT_EQ(wait.Wait(fired, 0), OS_WAIT_TIMEOUT);
    int client = os.Connect("127.0.0.1", static_cast<std::uint16_t>(os.LocalPort(listener)));
    ASSERT_GE(client, 0);
    EXPECT_EQ(wait.Wait(fired, hl::kInfinite), OS_WAIT_OTHER);
    EXPECT_EQ(fired, listener);
    os.Close(client);
    os.Close(listener);
}

TEST(OS_CHandleWait, WaitForAllNeedsEveryObject)
{
    OS_CEvent a, b;
    OS_CHandleWait wait(a);
    wait.Add(b);
    a.Set();
    EXPECT_FALSE(wait.WaitSignalled(true, 0));
    b.Set();
    EXPECT_TRUE(wait.WaitSignalled(true, 0));
    // Taking all of them reset both.
    EXPECT_FALSE(a.Wait(0));
    EXPECT_FALSE(b.Wait(0));
}

TEST(OS_CHandleWait, GrowsByFiveAndKeepsOrder)
{
    OS_CEvent events[7];
    OS_CHandleWait wait(events[0]);
    EXPECT_EQ(wait.Capacity(), 5u);
    for (int i = 1; i < 7; ++i)
        wait.Add(events[i]);
    EXPECT_EQ(wait.Capacity(), 10u);
    ASSERT_EQ(wait.Count(), 7u);
    for (std::uint32_t i = 0; i < 7; ++i)
        EXPECT_EQ(wait.At(i), events[i].GetHandle());
    events[6].Set();
    OS_HANDLE fired;
    EXPECT_EQ(wait.Wait(fired, 0), OS_WAIT_OTHER);
    EXPECT_EQ(fired, events[6].GetHandle());
}

TEST(OS_CHandleWait, InvalidHandleFails)
{
    OS_CHandleWait wait(OS_INVALID_HANDLE);
    OS_HANDLE fired;
    EXPECT_EQ(wait.Wait(fired, 0), OS_WAIT_FAILED);
    EXPECT_FALSE(wait.WaitSignalled(false, 0));
}

TEST(OS_CEvent, ManualResetStaysSignalledUntilReset)
{
    OS_CEvent manual(1, 0);
    manual.Set();
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
    OS_CEvent initially(0, 1);
    EXPECT_TRUE(initially.Wait(0));
    EXPECT_FALSE(initially.Wait(0));
    // Two sets of an auto-reset event before a wait release one waiter only.
    OS_CEvent autoReset;
    autoReset.Set();
    autoReset.Set();
    EXPECT_TRUE(autoReset.Wait(0));
    EXPECT_FALSE(autoReset.Wait(0));
}

TEST(OS_CSemaphore, CountsReleasesAndAcquires)
{
    OS_CSemaphore sem(1);
    EXPECT_TRUE(sem.Wait(0));
    EXPECT_FALSE(sem.Wait(0));
    sem.Release(2);
    EXPECT_TRUE(sem.Wait(0));
    EXPECT_TRUE(sem.Wait(0));
    EXPECT_FALSE(sem.Wait(0));
}

namespace {
class GateThread : public OS_CThread {
public:
    GateThread() : OS_CThread(0, 0, "GateThread") {}
    OS_CEvent gate;
    std::atomic<std::uintptr_t> seenArgument{0};
    std::atomic<std::uint64_t> seenTid{0};

protected:
    std::uint32_t Run(std::uintptr_t argument) override
    {
        seenArgument = argument;
        seenTid = hl::Os().ThreadId();
        gate.Wait(hl::kInfinite);
        return 0;
    }
};

class ThrowingThread : public OS_CThread {
protected:
    std::uint32_t Run(std::uintptr_t) override { throw 42; }
};
} // namespace

TEST(OS_CThread, WaitForExitFalseWhileRunningTrueAfter)
{
    GateThread thread;
    EXPECT_EQ(thread.GetName(), "GateThread");
    thread.Start(77);
    // The body is held at the gate: not finished, even right after Start.
    EXPECT_FALSE(thread.WaitForExit(0));
    thread.gate.Set();
    EXPECT_TRUE(thread.WaitForExit(hl::kInfinite));
    EXPECT_TRUE(thread.WaitForExit(0));
    EXPECT_EQ(thread.seenArgument, 77u);
    EXPECT_EQ(thread.GetThreadId(), thread.seenTid.load());
    EXPECT_NE(thread.GetThreadId(), hl::Os().ThreadId());
}

TEST(OS_CThread, ExceptionLeavingTheBodyEndsOnlyThatThread)
{
    ThrowingThread thread;
    EXPECT_EQ(thread.GetName(), "OS_CThread");
    thread.Start();
    EXPECT_TRUE(thread.WaitForExit(hl::kInfinite));
}
