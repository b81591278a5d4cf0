#pragma once
// OS_CPCQueue: a bounded producer-consumer queue. Two counting semaphores do the
// waiting (free slots for producers, filled slots for consumers); the lock guards
// only the double-ended queue, so neither side holds it while it waits.

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <semaphore>

template <class T>
class OS_CPCQueue {
public:
    using Clock = std::chrono::steady_clock;

    explicit OS_CPCQueue(std::ptrdiff_t capacity)
        : m_capacity(capacity > 0 ? capacity : 1), m_filled(0), m_free(m_capacity)
    {}

    OS_CPCQueue(const OS_CPCQueue&) = delete;
    OS_CPCQueue& operator=(const OS_CPCQueue&) = delete;

    // Blocks while the queue is full.
    void Put(T item)
    {
        m_free.acquire();
        Append(std::move(item));
    }

    // As Put, but gives up at the deadline; false when the item was not queued.
    bool PutUntil(T item, Clock::time_point deadline)
    {
        if (!m_free.try_acquire_until(deadline))
            return false;
        Append(std::move(item));
        return true;
    }

    // Blocks while the queue is empty.
    void Get(T& item)
    {
        m_filled.acquire();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            item = std::move(m_items.front());
            m_items.pop_front();
        }
        m_free.release();
    }

    // Takes every item still queued without waiting (used when the queue is torn down).
    std::deque<T> Drain()
    {
        std::deque<T> rest;
        while (m_filled.try_acquire()) {
            std::lock_guard<std::mutex> lock(m_lock);
            rest.push_back(std::move(m_items.front()));
            m_items.pop_front();
            m_free.release();
        }
        return rest;
    }

    std::ptrdiff_t Capacity() const { return m_capacity; }

    std::size_t Count() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_items.size();
    }

private:
    void Append(T item)
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_items.push_back(std::move(item));
        }
        m_filled.release();
    }

    const std::ptrdiff_t m_capacity;
    mutable std::mutex m_lock;
    std::deque<T> m_items;
    std::counting_semaphore<> m_filled;
    std::counting_semaphore<> m_free;
};
