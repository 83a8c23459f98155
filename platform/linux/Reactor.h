#pragma once
// The reactor thread of one completion port: waits on the port's poller and hands each
// readiness event to the socket it names, which retries its parked operations. It also
// retries accepts that found no free descriptor: a little later, or at once when a socket of
// the port lets one go (an edge-triggered listener gets no new event for a connection that
// stayed in its backlog). Nothing on this thread allocates but that retry list, which
// catches its own failure.

#include "platform/Socket.h"
#include "platform/Thread.h"
#include "platform/linux/Poller.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

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

    /// Has the listening socket's accepts tried again within kRetryMs. Any thread.
    void RetryAcceptsLater(SOCKET listener);
    /// A descriptor was closed: accepts waiting for one are tried at once. Any thread.
    void OnDescriptorClosed();

    static constexpr int kRetryMs = 50;

private:
    void Run();
    int TimeoutMs() const;
    void RetryAccepts();

    Poller m_poller;
    std::atomic<bool> m_bStopping{false};
    std::atomic<bool> m_bRetryPending{false}; ///< m_starved holds a listener
    std::atomic<bool> m_bDescriptorClosed{false};
    mutable std::mutex m_mutex;
    // guarded by m_mutex
    std::vector<SOCKET> m_starved;
    uint64_t m_nRetryTick = 0; ///< when the listeners of m_starved are tried again
    // reactor thread only
    std::vector<SOCKET> m_retrying;
    std::unique_ptr<Thread> m_thread; ///< a platform thread, so a crash in it gets its back trace
};

} // namespace platform::detail
