// The server's listen thread: it owns the listening socket, delivers the closed-client notices
// to the application, runs the slot maintenance at start and then periodically, and at the
// stop shuts the slots down, forcing the connected ones closed after a few seconds.

#include "net/server/IOCPServer_win.h"

#include "net/server/IOCPClientId.h"
#include "platform/SocketError.h"
#include "platform/SystemError.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"
#include "Subsidiary/ThreadBase.h"

namespace {

const char* const kOrigin = "IOCP";
constexpr uint32_t kForceShutdownTick = 5; ///< connected slots are closed by force
constexpr uint32_t kLastExitTick = 8;      ///< the thread leaves whatever is left

void LogSocketError(const char* format)
{
    LogFormatted(kOrigin, LOG_ERR, format, GetSocketErrorText(static_cast<uint32_t>(platform::GetLastSocketError())));
}

} // namespace

uint32_t CIOCPServer_win::ListenThread()
{
    LogMessage("Listen thread object created", LOG_MSG, kOrigin);
    std::unique_ptr<platform::WaitableTimer> timer = platform::WaitableTimer::Create(platform::ResetMode::Auto);
    if (!timer)
        LogFormatted(kOrigin, "CIOCPServer_win::ListenThread() - Error creating waitable timer (GetLastError() = %d)",
                     static_cast<int32_t>(platform::GetLastSystemError()));
    if (timer && ArmTimer(*timer, 0) && InitListenSocket()) { // the first maintenance pass at once
        m_bListenStartFailed = false;
        m_startedEvent->Set();
        RunListenLoop(*timer);
    }
    timer.reset();
    m_startedEvent->Set(); // the start failure, or the end that Stop waits for
    return 0;
}

void CIOCPServer_win::RunListenLoop(platform::WaitableTimer& timer)
{
    HANDLE handles[] = {m_stopEvent.get(), m_notices.GetEvent(), &timer};
    uint32_t exitTick = 0; // 0 until the stop, then the number of the next expiry
    for (;;) {
        switch (CThreadBase::WaitForHandles(handles, 3)) {
        case 0:
            BeginShutdown();
            exitTick = 1;
            if (!ArmTimer(timer, m_timings.nExitTickMs))
                return;
            break;
        case 1:
            DeliverNotices();
            break;
        case 2:
            if (exitTick == 0) {
                SlotSocketMaintenance();
                if (!ArmTimer(timer, m_timings.nMaintenancePeriodMs))
                    return;
            } else if (OnExitTick(exitTick++) || !ArmTimer(timer, m_timings.nExitTickMs)) {
                return;
            }
            break;
        default:
            LogMessage("CIOCPServer_win::ListenThread() - WaitForSingleObject failed", LOG_ERR, kOrigin);
            return;
        }
    }
}

bool CIOCPServer_win::ArmTimer(platform::WaitableTimer& timer, int64_t delayMs)
{
    if (timer.Start(delayMs))
        return true;
    LogFormatted(kOrigin, "CIOCPServer_win::ListenThread() - Error set waitable timer (GetLastError() = %d)",
                 static_cast<int32_t>(platform::GetLastSystemError()));
    return false;
}

bool CIOCPServer_win::InitListenSocket()
{
    const platform::SOCKET s = platform::CreateTcpSocket();
    if (s == platform::INVALID_SOCKET) {
        LogSocketError("CIOCPServer_win::InitListenSocket() - Can't create socket! %s");
        return false;
    }
    m_listenSocket = s;
    if (!m_port->Associate(s, CIOCPThreadPoolItem::kAcceptKey)) {
        LogMessage(FormatString("CIOCPServer_win::InitListenSocket() - CreateIoCompletionPort failed (err : %u) to attach socket!",
                                static_cast<unsigned>(platform::GetLastSocketError())),
                   LOG_ERR, kOrigin);
        CloseListenSocket();
        return false;
    }
    if (!platform::BindSocket(s, {InterfaceOrAny(m_nInterfaceAddress), m_nPort})) {
        LogSocketError("CIOCPServer_win::InitListenSocket() - Can't bind socket object! %s!");
        CloseListenSocket();
        return false;
    }
    // Accepted sockets inherit both options.
    if (!platform::SetNoDelay(s, true))
        LogSocketError("CIOCPServer_win::InitListenSocket() - Can't set TCP_NODELAY option! %s");
    if (!platform::SetKeepAlive(s, 5000, 1000))
        LogSocketError("CIOCPServer_win::InitListenSocket() - Can't set SO_KEEPALIVE option! %s");
    if (!platform::ListenSocket(s)) {
        LogSocketError("CIOCPServer_win::InitListenSocket() - Can't start listen for socket! %s");
        CloseListenSocket();
        return false;
    }
    return true;
}

void CIOCPServer_win::CloseListenSocket()
{
    const platform::SOCKET s = m_listenSocket.exchange(platform::INVALID_SOCKET);
    if (s != platform::INVALID_SOCKET)
        platform::CloseSocket(s);
}

void CIOCPServer_win::SlotSocketMaintenance()
{
    if (m_bExiting)
        return;
    ForEachSlot([this](CIOCPClientConnection& slot) { slot.Maintain(m_timings, m_sendStuck); });
}

void CIOCPServer_win::BeginShutdown()
{
    CloseListenSocket();
    m_multicast.Stop();
    ForEachSlot([](CIOCPClientConnection& slot) { slot.ShutdownForExit(); });
}

bool CIOCPServer_win::OnExitTick(uint32_t tick)
{
    if (AllSlotsIdle() && m_notices.IsEmpty())
        return true;
    if (tick == kForceShutdownTick)
        ForEachSlot([](CIOCPClientConnection& slot) { slot.ForceShutdown(); });
    return tick >= kLastExitTick;
}

bool CIOCPServer_win::AllSlotsIdle()
{
    bool idle = true;
    ForEachSlot([&idle](CIOCPClientConnection& slot) { idle = idle && slot.GetState() == SCC_NOT_INITIALIZED; });
    return idle;
}

void CIOCPServer_win::DeliverNotices()
{
    // The queue's lock is not held while the application hears of the close.
    while (std::optional<CIOCPClosedNotice> notice = m_notices.Take())
        notice->pReceiver->OnConnectionClosed(MakeClientId(notice->nSlotIndex, notice->nConnectionNumber),
                                              notice->nClientType, notice->bExiting);
}
