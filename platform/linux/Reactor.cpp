#include "platform/linux/Reactor.h"

#include "platform/Clock.h"
#include "platform/SocketError.h"
#include "platform/SystemError.h"
#include "platform/linux/SocketContext.h"
#include "platform/linux/SocketTable.h"

#include <new>
#include <utility>

namespace platform::detail {

Reactor::~Reactor()
{
    Stop();
}

bool Reactor::Start()
{
    if (!m_poller.Open())
        return false;
    m_thread = Thread::Create([this] {
        Run();
        return 0u;
    });
    if (!m_thread) {
        SetLastSocketError(WinsockErrorFromErrno(static_cast<int>(GetLastSystemError())));
        return false;
    }
    return true;
}

void Reactor::Stop()
{
    if (!m_thread)
        return;
    m_bStopping.store(true);
    m_poller.Wake();
    m_thread->Wait(kInfinite);
    m_thread.reset();
}

void Reactor::RetryAcceptsLater(SOCKET listener)
{
    {
        std::lock_guard lock(m_mutex);
        try {
            m_starved.push_back(listener);
        } catch (const std::bad_alloc&) {
            return; // the listener's next connection event tries again
        }
        if (!m_bRetryPending.exchange(true))
            m_nRetryTick = GetTickCount64() + kRetryMs;
    }
    m_poller.Wake(); // the reactor may be waiting without a time limit
}

void Reactor::OnDescriptorClosed()
{
    if (m_bRetryPending.load() && !m_bDescriptorClosed.exchange(true))
        m_poller.Wake();
}

int Reactor::TimeoutMs() const
{
    if (!m_bRetryPending.load())
        return -1;
    const uint64_t now = GetTickCount64();
    std::lock_guard lock(m_mutex);
    return m_nRetryTick > now ? static_cast<int>(m_nRetryTick - now) : 0;
}

void Reactor::RetryAccepts()
{
    {
        std::lock_guard lock(m_mutex);
        const bool due = m_bDescriptorClosed.exchange(false) || GetTickCount64() >= m_nRetryTick;
        if (!due || m_starved.empty())
            return;
        std::swap(m_starved, m_retrying); // both keep their capacity: no allocation here
        m_bRetryPending.store(false);
    }
    for (const SOCKET s : m_retrying) {
        if (auto socket = SocketTable::Instance().Find(s))
            socket->RetryAccepts();
    }
    m_retrying.clear();
}

void Reactor::Run()
{
    constexpr int kBatch = 64;
    PollerEvent events[kBatch];
    for (;;) {
        const int count = m_poller.Wait(events, kBatch, TimeoutMs());
        for (int i = 0; i < count; ++i) {
            if (events[i].token == Poller::kWakeToken) {
                if (m_bStopping.load())
                    return;
                continue;
            }
            // A socket closed since the event was queued is no longer in the table.
            if (auto socket = SocketTable::Instance().Find(static_cast<SOCKET>(events[i].token)))
                socket->OnReady(events[i].readable, events[i].writable);
        }
        if (m_bRetryPending.load())
            RetryAccepts();
    }
}

} // namespace platform::detail
