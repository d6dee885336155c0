#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Counts calls made on another thread; waits are bounded.
class Counter {
public:
    void bump()
    {
        {
            std::lock_guard lock(m_mutex);
            ++m_count;
        }
        m_changed.notify_all();
    }
    int count()
    {
        std::lock_guard lock(m_mutex);
        return m_count;
    }
    bool waitAbove(int count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_count > count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
};
