#pragma once
// The reactor thread of one completion port: waits on the port's poller and hands each
// readiness event to the socket it names, which retries its parked operations.

#include "platform/Thread.h"
#include "platform/linux/Poller.h"

#include <atomic>
#include <memory>

namespace platform::detail {

class Reactor {
public:
    Reactor() = default;
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;
    ~Reactor();

    /// Opens the poller and starts the thread; false with the last socket error set. Once.
    bool Start();
    /// Wakes the thread and waits for it to end. Any thread but the reactor's.
    void Stop();
    /// Any thread.
    Poller& GetPoller() { return m_poller; }

private:
    void Run();

    Poller m_poller;
    std::atomic<bool> m_bStopping{false};
    std::unique_ptr<Thread> m_thread; ///< a platform thread, so a crash in it gets its back trace
};

} // namespace platform::detail
