#include "platform/linux/PortQueue.h"

#include <chrono>

namespace platform::detail {

namespace {

// The queue whose packet the calling thread is handling, between its Take and the next.
thread_local const PortQueue* t_pHandling = nullptr;

} // namespace

void PortQueue::Post(const CompletionPacket& packet)
{
    bool wake;
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosed)
            return;
        // A worker that posts into an empty queue takes the packet itself when it comes back;
        // waking another for it would cost a thread switch per operation that ends at once.
        // Should the worker stay busy, the next wake-up of any worker takes it first.
        wake = t_pHandling != this || !m_packets.empty();
        m_packets.push_back(packet);
    }
    if (wake)
        m_cvPosted.notify_one();
}

bool PortQueue::Take(CompletionPacket& packet, uint32_t timeoutMs)
{
    t_pHandling = nullptr;
    std::unique_lock lock(m_mutex);
    const auto ready = [this] { return m_bClosed || !m_packets.empty(); };
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
    packet = m_packets.front();
    m_packets.pop_front();
    t_pHandling = this;
    return true;
}

void PortQueue::Close()
{
    {
        std::lock_guard lock(m_mutex);
        m_bClosed = true;
        m_packets.clear();
    }
    m_cvPosted.notify_all();
}

} // namespace platform::detail
