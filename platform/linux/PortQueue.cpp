#include "platform/linux/PortQueue.h"

#include "platform/SocketError.h"

#include <chrono>
#include <new>

namespace platform::detail {

// Every post wakes a waiting worker, also when the poster is a worker itself: it may stay
// busy for long (a snapshot, a retransmission) while the packet it queued waits.
void PortQueue::PostCompletion(OVERLAPPED* op)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosed)
            return;
        op->Internal.pNext = nullptr;
        op->Internal.nPacketOrder = m_nNextOrder++;
        (m_pTail != nullptr ? m_pTail->Internal.pNext : m_pHead) = op;
        m_pTail = op;
    }
    m_cvPosted.notify_one();
}

bool PortQueue::Post(const CompletionPacket& packet)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosed)
            return true;
        try {
            m_posted.push_back({packet, m_nNextOrder});
        } catch (const std::bad_alloc&) {
            SetLastSocketError(kErrorNotEnoughMemory);
            return false;
        }
        ++m_nNextOrder;
    }
    m_cvPosted.notify_one();
    return true;
}

CompletionPacket PortQueue::PopLocked()
{
    if (m_pHead == nullptr || (!m_posted.empty() && m_posted.front().nOrder < m_pHead->Internal.nPacketOrder)) {
        const CompletionPacket packet = m_posted.front().packet;
        m_posted.pop_front();
        return packet;
    }
    OVERLAPPED* op = m_pHead;
    m_pHead = op->Internal.pNext;
    if (m_pHead == nullptr)
        m_pTail = nullptr;
    return {op->Internal.nKey, op, op->nBytes, op->nResult};
}

bool PortQueue::Take(CompletionPacket& packet, uint32_t timeoutMs)
{
    std::unique_lock lock(m_mutex);
    const auto ready = [this] { return m_bClosed || HasPacketLocked(); };
    if (timeoutMs == kInfinite)
        m_cvPosted.wait(lock, ready);
    else if (!m_cvPosted.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        packet = {};
        return false;
    }
    if (m_bClosed) {
        packet = {};
        return false;
    }
    packet = PopLocked();
    return true;
}

void PortQueue::Close()
{
    {
        std::lock_guard lock(m_mutex);
        m_bClosed = true;
        m_pHead = m_pTail = nullptr;
        m_posted.clear();
    }
    m_cvPosted.notify_all();
}

} // namespace platform::detail
