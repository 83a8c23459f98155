#pragma once
// Tries to take a lock from another thread, to tell whether the test thread still holds it.
// The lock must be free by the time the probe is destroyed.

#include "Subsidiary/AutoMutex.h"

#include <chrono>
#include <future>
#include <thread>

class CLockProbe {
public:
    explicit CLockProbe(CAutoMutex& mutex)
        : m_Thread([this, &mutex] {
              mutex.Lock();
              mutex.Unlock();
              m_Taken.set_value();
          })
    {
    }
    CLockProbe(const CLockProbe&) = delete;
    CLockProbe& operator=(const CLockProbe&) = delete;
    ~CLockProbe() { m_Thread.join(); }

    /// True when the other thread has taken (and released) the lock within `limit`.
    bool TakenWithin(std::chrono::milliseconds limit)
    {
        return m_Future.wait_for(limit) == std::future_status::ready;
    }

private:
    std::promise<void> m_Taken;
    std::future<void> m_Future = m_Taken.get_future();
    std::thread m_Thread;
};
