#pragma once
// Events that callbacks on another thread record as text, and bounded waits for them.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CRecordedEvents {
public:
    /// Any thread.
    void Record(std::string event)
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
        m_changed.notify_all();
    }

    /// Waits up to `limit` until `count` events have been recorded; returns all of them.
    std::vector<std::string> WaitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, limit, [&] { return m_events.size() >= count; });
        return m_events;
    }

    /// Returns the events recorded so far and forgets them.
    std::vector<std::string> Take()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_events, {});
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events; // guarded by m_mutex
};
