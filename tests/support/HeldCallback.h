#pragma once
// A callback that the test holds: the first call reports on which thread it came, then waits
// for a lock the test has taken, as an application callback waiting on its own lock does.

#include "support/ThreadState.h"

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>

class CHeldCallback {
public:
    /// The lock the callback waits for, taken by the test; let go to release the callback.
    std::unique_lock<std::mutex> Hold() { return std::unique_lock<std::mutex>(m_held); }

    /// The callback's body. The thread under test.
    void Enter()
    {
        if (!m_bEntered.exchange(true))
            m_entered.set_value(CurrentTid());
        std::lock_guard<std::mutex> wait(m_held);
    }

    /// The thread of the first call, once it came within the limit; 0 when none came.
    ThreadNumber WaitEntered(std::chrono::milliseconds limit)
    {
        return m_future.wait_for(limit) == std::future_status::ready ? m_future.get() : 0;
    }

private:
    std::mutex m_held;
    std::atomic<bool> m_bEntered{false};
    std::promise<ThreadNumber> m_entered;
    std::future<ThreadNumber> m_future = m_entered.get_future();
};
