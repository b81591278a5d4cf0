#pragma once
// OS_CPCQ_Executer: a small pool of threads that take items from a bounded queue and
// execute them one after another. A null item is the stop signal for one thread.
//
// Stopping queues one null item per thread behind the work already queued and waits for
// the threads up to the stop time-out. When the time-out passes with an item still
// running, the executer stops starting new items (the rest are deleted unexecuted), runs
// the stop time-out action (the owner uses it to cancel the running copy) and waits for
// the running item to return: the threads use the queue and the executer to the end, so
// both must outlive them, and an item left running would outlive the objects it works on.

#include "OS_CPCQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <semaphore>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

// The non-template pieces, shared by every instantiation.
namespace OS_CPCQ_Support {
// Names the calling thread for debuggers and process listings.
void NameThread(const std::string& name);
// Writes one "--> pcqex:..." line to the standard output stream.
void ReportUnexpected(const std::string& name, int threadNumber, const char* where);
} // namespace OS_CPCQ_Support

template <class T>
class OS_CPCQ_Executer {
public:
    using Clock = std::chrono::steady_clock;
    // Starts a thread; tests replace it to make creation fail.
    using ThreadStarter = std::function<bool(std::thread&, std::function<void()>)>;

    OS_CPCQ_Executer(const char* name, int numThreads, unsigned stopTimeoutMs, std::ptrdiff_t capacity,
                     ThreadStarter starter = nullptr)
        : m_name(name && *name ? name : "pcq_ex"), m_numThreads(numThreads > 0 ? numThreads : 0),
          m_stopTimeoutMs(stopTimeoutMs), m_queue(capacity)
    {
        if (!starter)
            starter = &StartThread;
        m_threads.resize(m_numThreads);
        for (int i = 1; i <= m_numThreads; ++i) {
            {
                std::lock_guard<std::mutex> lock(m_doneLock);
                ++m_live;
            }
            const bool started = starter(m_threads[i - 1], [this, i] { ThreadEntry(i); });
            if (started) {
                // Hand-shake: the thread is named and about to take items.
                m_started.acquire();
            } else {
                std::lock_guard<std::mutex> lock(m_doneLock);
                --m_live;
                m_running = false;
            }
        }
    }

    OS_CPCQ_Executer(const OS_CPCQ_Executer&) = delete;
    OS_CPCQ_Executer& operator=(const OS_CPCQ_Executer&) = delete;

    // Called on the stopping thread, possibly repeatedly, while an item still runs after
    // the stop time-out.
    void SetStopTimeoutAction(std::function<void()> action) { m_timeoutAction = std::move(action); }

    // Queues an item (ownership passes to the queue); blocks while the queue is full.
    void Put(T* item) { m_queue.Put(item); }

    bool IsRunning() const { return m_running; }
    const std::string& GetName() const { return m_name; }
    // True once a stop has given up waiting for the items still queued.
    bool TimedOut() const { return m_abandon; }

    ~OS_CPCQ_Executer()
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_stopTimeoutMs);
        int signalled = 0;
        for (; signalled < m_numThreads; ++signalled)
            if (!m_queue.PutUntil(nullptr, deadline))
                break;

        bool finished;
        {
            std::unique_lock<std::mutex> lock(m_doneLock);
            finished = m_done.wait_until(lock, deadline, [this] { return m_live == 0; });
        }
        if (!finished) {
            m_abandon = true;
            for (;;) {
                if (m_timeoutAction)
                    m_timeoutAction();
                // Queued items are dropped from now on, so stop signals that found no room
                // get it as soon as the running item returns.
                while (signalled < m_numThreads && m_queue.PutUntil(nullptr, Clock::now()))
                    ++signalled;
                std::unique_lock<std::mutex> lock(m_doneLock);
                if (m_done.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_live == 0; }))
                    break;
            }
        }
        for (auto& thread : m_threads)
            if (thread.joinable())
                thread.join();
        // Items that no thread took (no thread started, or dropped stop signals).
        for (T* item : m_queue.Drain())
            delete item;
    }

private:
    static bool StartThread(std::thread& thread, std::function<void()> body)
    {
        try {
            thread = std::thread(std::move(body));
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    void ThreadEntry(int threadNumber)
    {
        OS_CPCQ_Support::NameThread(m_name);
        m_started.release();
        try {
            for (;;) {
                T* item = nullptr;
                m_queue.Get(item);
                if (!item)
                    break;
                if (m_abandon) {
                    delete item;
                    continue;
                }
                try {
                    item->Execute();
                } catch (...) {
                    OS_CPCQ_Support::ReportUnexpected(m_name, threadNumber, "while loop");
                }
                delete item;
            }
        } catch (...) {
            OS_CPCQ_Support::ReportUnexpected(m_name, threadNumber, "process");
        }
        std::lock_guard<std::mutex> lock(m_doneLock);
        --m_live;
        m_done.notify_all();
    }

    const std::string m_name;
    std::atomic<bool> m_running{true};
    const int m_numThreads;
    const unsigned m_stopTimeoutMs;
    std::binary_semaphore m_started{0};
    std::vector<std::thread> m_threads;
    OS_CPCQueue<T*> m_queue;
    std::function<void()> m_timeoutAction;
    std::atomic<bool> m_abandon{false};
    std::mutex m_doneLock;
    std::condition_variable m_done;
    int m_live = 0;
};
