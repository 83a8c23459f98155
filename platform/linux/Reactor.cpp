#include "platform/linux/Reactor.h"

#include "platform/SocketError.h"
#include "platform/SystemError.h"
#include "platform/linux/SocketContext.h"
#include "platform/linux/SocketTable.h"

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

void Reactor::Run()
{
    constexpr int kBatch = 64;
    PollerEvent events[kBatch];
    for (;;) {
        const int count = m_poller.Wait(events, kBatch);
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
    }
}

} // namespace platform::detail
