#pragma once
// The packet queue of a completion port: first in, first out, shared by any number of
// posting and dequeuing threads.

#include "platform/CompletionPort.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace platform::detail {

class PortQueue {
public:
    /// Appends a packet; discarded once the queue is closed. Any thread.
    void Post(const CompletionPacket& packet);
    /// Takes the oldest packet, waiting up to timeoutMs; false on time-out or once closed. Any thread.
    bool Take(CompletionPacket& packet, uint32_t timeoutMs);
    /// Discards the queued packets and releases every waiter. Any thread.
    void Close();

private:
    std::mutex m_mutex;
    std::condition_variable m_cvPosted;
    // guarded by m_mutex
    std::deque<CompletionPacket> m_packets;
    bool m_bClosed = false;
};

} // namespace platform::detail
