#pragma once
// The shared state of a completion port: its packet queue and its reactor. Outstanding
// operations and associated sockets hold references, so a late completion never reaches a
// freed port; once the port is shut down, their packets are discarded.

#include "platform/linux/PortQueue.h"
#include "platform/linux/Reactor.h"

#include <atomic>

namespace platform::detail {

class PortCore {
public:
    /// A core with its reactor running and one reference; nullptr with the last socket
    /// error set. Any thread.
    static PortCore* Create();

    PortCore(const PortCore&) = delete;
    PortCore& operator=(const PortCore&) = delete;

    /// Any thread.
    void AddRef() { m_nRefs.fetch_add(1, std::memory_order_relaxed); }
    /// Frees the core with the last reference. Any thread.
    void Release();

    /// Stops the reactor and closes the queue. The owner's thread, once.
    void Shutdown();

    /// Any thread.
    PortQueue& GetQueue() { return m_queue; }
    /// Any thread.
    Poller& GetPoller() { return m_reactor.GetPoller(); }
    /// Any thread.
    Reactor& GetReactor() { return m_reactor; }

private:
    PortCore() = default;
    ~PortCore() = default;

    std::atomic<int> m_nRefs{1};
    PortQueue m_queue;
    Reactor m_reactor;
};

} // namespace platform::detail
