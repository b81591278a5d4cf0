#include "OS_CPCQ_Executer.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {
// What the items of one test did, in the order they did it.
struct Journal {
    std::mutex lock;
    std::vector<std::string> events;
    std::atomic<int> deleted{0};
    std::string threadName;

    void Add(const std::string& event)
    {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(event);
    }
};

struct Item {
    Journal& journal;
    std::string name;
    std::function<void()> body;

    Item(Journal& j, std::string n, std::function<void()> b = nullptr)
        : journal(j), name(std::move(n)), body(std::move(b))
    {}
    ~Item() { ++journal.deleted; }

    void Execute()
    {
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        {
            std::lock_guard<std::mutex> guard(journal.lock);
            journal.threadName = buffer;
        }
        journal.Add("start " + name);
        if (body)
            body();
        journal.Add("end " + name);
    }
};
} // namespace

TEST(OS_CPCQueueTest, FullQueueRefusesUntilAnItemIsTaken)
{
    OS_CPCQueue<int> queue(2);
    queue.Put(1);
    queue.Put(2);
    EXPECT_FALSE(queue.PutUntil(3, OS_CPCQueue<int>::Clock::now()));
    int item = 0;
    queue.Get(item);
    EXPECT_EQ(item, 1);
    EXPECT_TRUE(queue.PutUntil(3, OS_CPCQueue<int>::Clock::now()));
    queue.Get(item);
    EXPECT_EQ(item, 2);
    queue.Get(item);
    EXPECT_EQ(item, 3);
    EXPECT_EQ(queue.Count(), 0u);
}

TEST(OS_CPCQ_ExecuterTest, OneThreadRunsItemsInOrderAndStopFinishesTheQueuedOnes)
{
    Journal journal;
    std::binary_semaphore gate{0};
    {
        OS_CPCQ_Executer<Item> executer("GUIWorker", 1, 5000, 1024);
        EXPECT_TRUE(executer.IsRunning());
        // The first item holds the thread until everything else is queued.
        executer.Put(new Item(journal, "a", [&gate] { gate.acquire(); }));
        executer.Put(new Item(journal, "b"));
        executer.Put(new Item(journal, "c"));
        gate.release();
        // Destroying stops the executer with b and c possibly still queued.
    }
    std::vector<std::string> expected = {"start a", "end a", "start b", "end b", "start c", "end c"};
    EXPECT_EQ(journal.events, expected);
    EXPECT_EQ(journal.deleted.load(), 3);
    EXPECT_EQ(journal.threadName, "GUIWorker");
}

TEST(OS_CPCQ_ExecuterTest, UnnamedExecuterUsesDefaultName)
{
    OS_CPCQ_Executer<Item> executer(nullptr, 1, 5000, 4);
    EXPECT_EQ(executer.GetName(), "pcq_ex");
}

TEST(OS_CPCQ_ExecuterTest, ThrowingItemIsReportedDeletedAndTheLoopGoesOn)
{
    Journal journal;
    testing::internal::CaptureStdout();
    {
        OS_CPCQ_Executer<Item> executer("GUIWorker", 1, 5000, 8);
        executer.Put(new Item(journal, "bad", [] { throw std::runtime_error("boom"); }));
        executer.Put(new Item(journal, "good"));
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "--> pcqex:GUIWorker -- thread:1 -- unexpected exception in OS_CPCQ_Executer while loop\n");
    std::vector<std::string> expected = {"start bad", "start good", "end good"};
    EXPECT_EQ(journal.events, expected);
    EXPECT_EQ(journal.deleted.load(), 2);
}

TEST(OS_CPCQ_ExecuterTest, StopTimeOutCancelsTheRunningItemAndDropsTheRest)
{
    Journal journal;
    std::atomic<bool> cancel{false};
    std::atomic<int> actions{0};
    std::binary_semaphore running{0};
    {
        OS_CPCQ_Executer<Item> executer("GUIWorker", 1, 50, 1024);
        executer.SetStopTimeoutAction([&] {
            ++actions;
            cancel = true;
        });
        // A "copy" that only ends when it is cancelled: without the action the stop would
        // wait for ever, and with the executer destroyed under it the test would crash.
        executer.Put(new Item(journal, "long", [&] {
            running.release();
            while (!cancel)
                std::this_thread::yield();
        }));
        executer.Put(new Item(journal, "queued1"));
        executer.Put(new Item(journal, "queued2"));
        running.acquire();
        // The destructor returns only after the running item has returned.
    }
    EXPECT_GE(actions.load(), 1);
    std::vector<std::string> expected = {"start long", "end long"};
    EXPECT_EQ(journal.events, expected);
    EXPECT_EQ(journal.deleted.load(), 3);
}

TEST(OS_CPCQ_ExecuterTest, StopTimeOutWithAFullQueueStillEnds)
{
    Journal journal;
    std::atomic<bool> cancel{false};
    std::binary_semaphore running{0};
    {
        OS_CPCQ_Executer<Item> executer("GUIWorker", 1, 20, 2);
        executer.SetStopTimeoutAction([&] { cancel = true; });
        executer.Put(new Item(journal, "long", [&] {
            running.release();
            while (!cancel)
                std::this_thread::yield();
        }));
        running.acquire();
        executer.Put(new Item(journal, "q1"));
        executer.Put(new Item(journal, "q2"));
        // The queue is full: the stop signal finds no room until the time-out.
    }
    std::vector<std::string> expected = {"start long", "end long"};
    EXPECT_EQ(journal.events, expected);
    EXPECT_EQ(journal.deleted.load(), 3);
}

TEST(OS_CPCQ_ExecuterTest, NoThreadStartedClearsRunningAndStopDeletesQueuedItems)
{
    Journal journal;
    int attempts = 0;
    {
        OS_CPCQ_Executer<Item> executer("GUIWorker", 2, 10, 8,
                                        [&attempts](std::thread&, std::function<void()>) {
                                            ++attempts;
                                            return false;
                                        });
        EXPECT_FALSE(executer.IsRunning());
        executer.Put(new Item(journal, "never"));
    }
    EXPECT_EQ(attempts, 2);
    EXPECT_TRUE(journal.events.empty());
    EXPECT_EQ(journal.deleted.load(), 1);
}

TEST(OS_CPCQ_ExecuterTest, SeveralThreadsShareTheQueue)
{
    Journal journal;
    std::atomic<int> executed{0};
    {
        OS_CPCQ_Executer<Item> executer("pool", 3, 5000, 4);
        for (int i = 0; i < 50; ++i)
            executer.Put(new Item(journal, std::to_string(i), [&executed] { ++executed; }));
    }
    EXPECT_EQ(executed.load(), 50);
    EXPECT_EQ(journal.deleted.load(), 50);
}
