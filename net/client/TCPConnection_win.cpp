#include "net/client/TCPConnection_win.h"

#include "net/client/ConnectionLog.h"
#include "net/common/SessionFraming.h"
#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"
#include "Subsidiary/ThreadBase.h"
#include "platform/Clock.h"
#include "platform/SocketError.h"
#include "platform/SystemError.h"
#include "platform/Wait.h"

#include <new>
#include <optional>

using namespace client_connection_log;

namespace {

constexpr uint32_t kStopWaitMs = 10000;

/// A wait of the connection thread, which holds no monitored lock across it.
uint32_t WaitMonitored(platform::WaitObject* const* handles, uint32_t count, uint32_t timeoutMs)
{
    CDBGMonitor::ThreadSleep();
    const uint32_t signalled = platform::WaitForAny(handles, count, timeoutMs);
    CDBGMonitor::ThreadAwake();
    return signalled;
}

/// Bytes a request holds in the queue: the packet of a send.
uint64_t QueuedBytesOf(const SClientRequest& request)
{
    return request.nKind == SClientRequest::REQ_SEND ? static_cast<const SSendRequest&>(request).bytes.size() : 0;
}

/// Milliseconds until the tick count `deadline`; kInfinite for UINT64_MAX.
uint32_t RemainingMs(uint64_t deadline)
{
    if (deadline == UINT64_MAX)
        return platform::kInfinite;
    const uint64_t now = platform::GetTickCount64();
    return now >= deadline ? 0 : static_cast<uint32_t>(deadline - now);
}

void LogWaitFailure()
{
    const int error = platform::WinsockErrorFromSystemError(platform::GetLastSystemError());
    LogFormatted(kThreadOrigin, LOG_ERR, "WSAWaitForMultipleEvents() failed : %s",
                 GetSocketErrorText(static_cast<uint32_t>(error)));
}

} // namespace

IIOCP_ClientConnection* CreateClientConnection(IIOCP_ClientReceiver* receiver, uint32_t* error)
{
    return CTCPConnection_win::Create(receiver, error);
}

uint32_t DestroyClientConnection(IIOCP_ClientConnection* connection)
{
    if (auto* own = dynamic_cast<CTCPConnection_win*>(connection))
        return own->Destroy();
    return connection == nullptr ? EIOCPE_SUCCESS : EIOCPE_BAD_PARAMS;
}

CTCPConnection_win::CTCPConnection_win(IIOCP_ClientReceiver* receiver)
    : m_callbacks(receiver), m_pReceiver(&m_callbacks)
{
}

CTCPConnection_win* CTCPConnection_win::Create(IIOCP_ClientReceiver* receiver, uint32_t* error)
{
    uint32_t ignored = 0;
    uint32_t& result = error != nullptr ? *error : ignored;
    std::unique_ptr<CTCPConnection_win> connection;
    try {
        connection.reset(new CTCPConnection_win(receiver));
    } catch (const std::bad_alloc&) {
        result = EIOCPE_NO_MEM;
        return nullptr;
    }
    if (receiver == nullptr) {
        result = EIOCPE_BAD_PARAMS;
        return nullptr;
    }
    if (!connection->CreateEvents()) {
        result = EIOCPE_UNABLE_TO_CREATE_EVENT;
        return nullptr;
    }
    CTCPConnection_win* raw = connection.get();
    connection->m_hThread = platform::Thread::Create([raw] { return raw->ThreadMain(); });
    if (!connection->m_hThread) {
        result = EIOCPE_UNABLE_RUN_THREAD;
        return nullptr;
    }
    HANDLE started = connection->m_hStartedEvent.get();
    CThreadBase::WaitForHandles(&started, 1); // a running thread always reports its start
    if (connection->m_nStartStatus != EIOCPE_SUCCESS) {
        result = connection->m_nStartStatus;
        connection->m_hThread->Wait(); // it ends right after its report
        connection->m_hThread.reset();
        return nullptr;
    }
    result = EIOCPE_SUCCESS;
    return connection.release();
}

bool CTCPConnection_win::CreateEvents()
{
    m_hQueueEvent = platform::Event::Create(platform::ResetMode::Manual);
    m_hStartedEvent = platform::Event::Create(platform::ResetMode::Auto);
    m_hStopEvent = platform::Event::Create(platform::ResetMode::Auto);
    m_hAbortSendEvent = platform::Event::Create(platform::ResetMode::Manual);
    m_hSocketEvent = platform::SocketEvent::Create();
    return m_hQueueEvent && m_hStartedEvent && m_hStopEvent && m_hAbortSendEvent && m_hSocketEvent;
}

uint32_t CTCPConnection_win::Destroy()
{
    if (!m_hThread)
        return EIOCPE_SUCCESS;
    const uint64_t deadline = platform::GetTickCount64() + kStopWaitMs;
    m_hAbortSendEvent->Set(); // also when the disconnect below cannot be queued
    // The socket is closed after what was queued before, without callbacks. The request stays
    // here until the queue is drained, so that a thread given up on can never take it.
    std::optional<SDisconnectRequest> disconnect;
    try {
        disconnect.emplace(false, true);
    } catch (const std::bad_alloc&) {
    }
    if (disconnect && disconnect->hDone && Enqueue(&*disconnect) == EIOCPE_SUCCESS)
        WaitCarriedOut(*disconnect, deadline);
    m_hStopEvent->Set();
    m_hThread->EndWithin(RemainingMs(deadline));
    m_hThread.reset();
    CloseCurrentSocket(); // left open when the disconnect was not carried out
    DrainQueue();
    return EIOCPE_SUCCESS;
}

CTCPConnection_win::~CTCPConnection_win()
{
    Destroy();
}

void CTCPConnection_win::DrainQueue()
{
    CAutoLock guard(m_csQueue);
    for (SClientRequest* request : m_queue) {
        if (request->nKind != SClientRequest::REQ_DISCONNECT) {
            delete request;
            continue;
        }
        auto* disconnect = static_cast<SDisconnectRequest*>(request);
        disconnect->nResult = EIOCPE_SUCCESS;
        disconnect->hDone->Set();
    }
    m_queue.clear();
    m_nQueuedBytes = 0;
    m_nQueuedDisconnects = 0;
    m_hAbortSendEvent->Reset();
    m_bClosed = true; // nobody would carry out or free what came later
}

// --- interface operations, any thread ----------------------------------------------------------

uint32_t CTCPConnection_win::Enqueue(SClientRequest* request)
{
    try {
        CAutoLock guard(m_csQueue);
        if (m_bClosed)
            return EIOCPE_UNABLE_RUN_THREAD;
        // The thread may wait long for room to send; the application must not pile up packets
        // meanwhile without limit.
        const uint64_t bytes = QueuedBytesOf(*request);
        if (m_nQueuedBytes + bytes > kMaxQueuedBytes)
            return EIOCPE_NO_MEM;
        m_queue.push_back(request);
        m_nQueuedBytes += bytes;
        m_hQueueEvent->Set(); // under the lock, so that the thread cannot reset it after this
        if (request->nKind == SClientRequest::REQ_DISCONNECT && m_nQueuedDisconnects++ == 0)
            m_hAbortSendEvent->Set();
    } catch (const std::bad_alloc&) {
        return EIOCPE_NO_MEM;
    }
    return EIOCPE_SUCCESS;
}

template <class Request, class... Args>
uint32_t CTCPConnection_win::EnqueueNew(Args&&... args)
{
    try {
        auto request = std::make_unique<Request>(std::forward<Args>(args)...);
        if (const uint32_t error = Enqueue(request.get()); error != EIOCPE_SUCCESS)
            return error;
        request.release(); // the queue's now
    } catch (const std::bad_alloc&) {
        return EIOCPE_NO_MEM;
    }
    return EIOCPE_SUCCESS;
}

uint32_t CTCPConnection_win::Connect(const char* host, uint16_t port, uint32_t reconnectSeconds)
{
    if (host == nullptr || port == 0)
        return EIOCPE_BAD_PARAMS;
    return EnqueueNew<SConnectRequest>(host, port, reconnectSeconds);
}

uint32_t CTCPConnection_win::Send(const void* packet, uint32_t length)
{
    if (packet == nullptr || length == 0 || length > CSessionHeader::kMaxPayload)
        return EIOCPE_BAD_PARAMS; // a longer one would be a broken stream to the server
    // From a callback, with nothing queued ahead of it, the packet goes out before the callback
    // goes on: a request is then on its way while the application handles what came.
    if (platform::GetCurrentThreadId() == m_nThreadId.load(std::memory_order_relaxed) && IsQueueEmpty()) {
        SendPacket(static_cast<const uint8_t*>(packet), length);
        return EIOCPE_SUCCESS;
    }
    return EnqueueNew<SSendRequest>(packet, length);
}

bool CTCPConnection_win::IsQueueEmpty()
{
    CAutoLock guard(m_csQueue);
    return m_queue.empty();
}

uint32_t CTCPConnection_win::Disconnect(bool notify, bool immediate)
{
    if (platform::GetCurrentThreadId() == m_nThreadId)
        return EIOCPE_INVALID_VAL; // it would wait for itself
    std::unique_ptr<SDisconnectRequest> request;
    try {
        request = std::make_unique<SDisconnectRequest>(notify, immediate);
    } catch (const std::bad_alloc&) {
        return EIOCPE_NO_MEM;
    }
    if (!request->hDone)
        return EIOCPE_UNABLE_TO_CREATE_EVENT;
    if (const uint32_t error = Enqueue(request.get()); error != EIOCPE_SUCCESS)
        return error;
    WaitCarriedOut(*request, UINT64_MAX);
    return EIOCPE_SUCCESS;
}

bool CTCPConnection_win::WaitCarriedOut(SDisconnectRequest& request, uint64_t deadline)
{
    platform::WaitObject* const done[] = {request.hDone.get()};
    for (;;) {
        const uint32_t signalled = WaitMonitored(done, 1, RemainingMs(deadline));
        if (signalled == 0)
            return true;
        if (signalled == platform::kWaitTimeout)
            return false;
        LogWaitFailure(); // and again: the request stays the thread's until it is signalled
    }
}

// --- the connection thread ---------------------------------------------------------------------

uint32_t CTCPConnection_win::ThreadMain()
{
    CDBGMonitor::ThreadStarted(kThreadOrigin);
    m_hReconnectTimer = platform::WaitableTimer::Create(platform::ResetMode::Auto);
    if (!m_hReconnectTimer) {
        LogFormatted(kThreadOrigin, "CreateWaitableTimer failed : %d",
                     static_cast<int32_t>(platform::GetLastSystemError()));
        m_nStartStatus = EIOCPE_NO_RESOURCESS;
        m_hStartedEvent->Set();
        CDBGMonitor::ThreadStopped();
        return 1;
    }
    m_nStartStatus = EIOCPE_SUCCESS;
    m_bTimerArmed = false;
    m_nThreadId.store(platform::GetCurrentThreadId(), std::memory_order_relaxed);
    m_hStartedEvent->Set();
    RunLoop();
    m_hReconnectTimer.reset();
    CDBGMonitor::ThreadStopped();
    return 0;
}

void CTCPConnection_win::RunLoop()
{
    platform::WaitObject* const handles[] = {m_hStopEvent.get(), m_hQueueEvent.get(), m_hSocketEvent.get(),
                                             m_hReconnectTimer.get()};
    for (;;) {
        ArmReconnectTimer();
        switch (WaitMonitored(handles, 4, platform::kInfinite)) {
        case 0: return;
        case 1: CarryOutNextRequest(); break;
        case 2: HandleNetworkEvents(true); break;
        case 3: OnReconnectTimer(); break;
        default: LogWaitFailure(); break;
        }
    }
}

void CTCPConnection_win::ArmReconnectTimer()
{
    if (m_bTimerArmed || m_nReconnectInterval == 0 || m_nState != STATE_DISCONNECTED)
        return;
    if (!m_hReconnectTimer->Start(static_cast<int64_t>(m_nReconnectInterval) * 1000)) {
        const auto error = static_cast<int32_t>(platform::GetLastSystemError());
        m_nReconnectInterval = 0;
        m_pReceiver->OnConnectFailed(EIOCPE_FAIL, m_nTag);
        LogFormatted(kThreadOrigin, "Unable to set timer : %d", error);
        return;
    }
    m_bTimerArmed = true;
}

void CTCPConnection_win::OnReconnectTimer()
{
    m_bTimerArmed = false;
    bool retryable = false;
    const uint32_t error = TryConnect(&retryable);
    if (error == EIOCPE_SUCCESS) {
        m_nState = STATE_CONNECTING;
    } else if (!retryable) {
        m_nReconnectInterval = 0;
        ReportAttemptFailure(error);
    } // a retryable failure tries again after the interval
}

void CTCPConnection_win::CarryOutNextRequest()
{
    SClientRequest* request = nullptr;
    {
        CAutoLock guard(m_csQueue);
        if (!m_queue.empty()) {
            request = m_queue.front();
            m_queue.pop_front();
            m_nQueuedBytes -= QueuedBytesOf(*request);
            if (request->nKind == SClientRequest::REQ_DISCONNECT && --m_nQueuedDisconnects == 0)
                m_hAbortSendEvent->Reset();
        }
        if (m_queue.empty())
            m_hQueueEvent->Reset();
    }
    if (request == nullptr)
        return;
    switch (request->nKind) {
    case SClientRequest::REQ_CONNECT:
        OnConnectRequest(*static_cast<SConnectRequest*>(request));
        break;
    case SClientRequest::REQ_SEND:
        OnSendRequest(*static_cast<SSendRequest*>(request));
        break;
    case SClientRequest::REQ_DISCONNECT:
        OnDisconnectRequest(*static_cast<SDisconnectRequest*>(request));
        return; // its caller owns it
    }
    delete request;
}

void CTCPConnection_win::OnConnectRequest(SConnectRequest& request)
{
    if (m_nState != STATE_DISCONNECTED) {
        m_pReceiver->OnConnectFailed(
            m_nState == STATE_ESTABLISHED ? EIOCPE_ALREADY_CONNECTED : EIOCPE_CONNECT_IN_PROGRESS, m_nTag);
        return;
    }
    m_hReconnectTimer->Cancel();
    m_bTimerArmed = false;
    m_strHost = std::move(request.strHost);
    m_nPort = request.nPort;
    m_nReconnectInterval = request.nReconnectSeconds; // not the one of an earlier connect
    bool retryable = false;
    const uint32_t error = TryConnect(&retryable);
    if (error == EIOCPE_SUCCESS) {
        m_nState = STATE_CONNECTING;
    } else if (!retryable || m_nReconnectInterval == 0) {
        m_nReconnectInterval = 0;
        ReportAttemptFailure(error);
    } // else the timer tries again
}

void CTCPConnection_win::OnSendRequest(const SSendRequest& request)
{
    SendPacket(request.bytes.data(), static_cast<uint32_t>(request.bytes.size()));
}

void CTCPConnection_win::SendPacket(const uint8_t* packet, uint32_t length)
{
    if (m_nState != STATE_ESTABLISHED)
        return; // nothing to send it on
    m_sendArchive.Clear();
    if (!AppendFrame(m_sendArchive, CMD_USER, packet, length)) {
        LogMessage("No memory to serialize object into output Q!", LOG_ERR, kThreadOrigin);
        CloseWithNotification(true, EIOCPE_NO_MEM);
        return;
    }
    if (const uint32_t error = SendArchive(); error != EIOCPE_SUCCESS)
        CloseWithNotification(error != EIOCPE_WSAEINTR || QueuedDisconnectNotifies(), error);
}

bool CTCPConnection_win::QueuedDisconnectNotifies()
{
    CAutoLock guard(m_csQueue);
    for (const SClientRequest* request : m_queue) {
        if (request->nKind == SClientRequest::REQ_DISCONNECT)
            return static_cast<const SDisconnectRequest*>(request)->bNotify;
    }
    return false;
}

void CTCPConnection_win::OnDisconnectRequest(SDisconnectRequest& request)
{
    // A reconnection still pending would undo the disconnect.
    m_nReconnectInterval = 0;
    m_hReconnectTimer->Cancel();
    m_bTimerArmed = false;
    switch (m_nState) {
    case STATE_DISCONNECTED:
        break;
    case STATE_CONNECTING:
    case STATE_WAITING_INIT:
        CloseWithNotification(request.bNotify, EIOCPE_SUCCESS);
        break;
    case STATE_ESTABLISHED:
        if (request.bImmediate)
            CloseWithNotification(request.bNotify, EIOCPE_SUCCESS);
        else
            DisconnectGracefully(request.bNotify);
        break;
    }
    request.nResult = EIOCPE_SUCCESS;
    request.hDone->Set(); // the last touch: the caller goes on and drops the request
}

// Once the server has seen the end of what this side sends, it sends its last packets and
// closes; those are still delivered. A server that stays silent for the turn is left.
void CTCPConnection_win::DisconnectGracefully(bool notify)
{
    constexpr uint32_t kSilenceMs = 5000;
    platform::ShutdownSocket(m_socket, platform::ShutdownHow::Send);
    platform::WaitObject* const handles[] = {m_hSocketEvent.get()};
    while (m_nState != STATE_DISCONNECTED) {
        const uint32_t signalled = WaitMonitored(handles, 1, kSilenceMs);
        if (signalled == 0)
            HandleNetworkEvents(notify);
        else if (signalled == platform::kWaitTimeout)
            CloseWithNotification(notify, EIOCPE_SUCCESS);
        else
            LogWaitFailure();
    }
}
