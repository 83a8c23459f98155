#include "platform/linux/PortQueue.h"

#include <chrono>

namespace platform::detail {

void PortQueue::Post(const CompletionPacket& packet)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosed)
            return;
        m_packets.push_back(packet);
    }
    m_cvPosted.notify_one();
}

bool PortQueue::Take(CompletionPacket& packet, uint32_t timeoutMs)
{
    std::unique_lock lock(m_mutex);
    const auto ready = [this] { return m_bClosed || !m_packets.empty(); };
    if (timeoutMs == kWaitForever)
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
