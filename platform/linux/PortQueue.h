#pragma once
// The packet queue of a completion port: first in, first out, shared by any number of
// posting and dequeuing threads. Completions of operations are linked through their own
// OVERLAPPED, so the engine never allocates to complete one (the reactor thread cannot run
// out of memory half-way through a completion); packets posted by hand are copied into a
// list of their own. A running number keeps the two in one order.

#include "platform/CompletionPort.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace platform::detail {

class PortQueue {
public:
    /// Queues the completion of an operation, whose key, result and bytes are already set
    /// in it; dropped once the queue is closed. Never allocates. Any thread.
    void PostCompletion(OVERLAPPED* op);
    /// Queues a copy of the packet; discarded once the queue is closed. False with the last
    /// socket error set when there is no memory for it. Any thread.
    bool Post(const CompletionPacket& packet);
    /// Takes the oldest packet, waiting up to timeoutMs; false on time-out or once closed. Any thread.
    bool Take(CompletionPacket& packet, uint32_t timeoutMs);
    /// Discards the queued packets, without touching the operations they came from (their
    /// owners may have freed them), and releases every waiter. Any thread.
    void Close();

private:
    struct Posted {
        CompletionPacket packet;
        uint64_t nOrder;
    };

    bool HasPacketLocked() const { return m_pHead != nullptr || !m_posted.empty(); }
    CompletionPacket PopLocked();

    std::mutex m_mutex;
    std::condition_variable m_cvPosted;
    // guarded by m_mutex
    OVERLAPPED* m_pHead = nullptr; ///< completions, linked through Internal.pNext
    OVERLAPPED* m_pTail = nullptr;
    std::deque<Posted> m_posted;
    uint64_t m_nNextOrder = 0;
    bool m_bClosed = false;
};

} // namespace platform::detail
