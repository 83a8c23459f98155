#include "net/server/IOCPClientMulticast.h"

#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"
#include "platform/OverlappedSocket.h"
#include "platform/SocketError.h"

#include <exception>

namespace {

const char* const kOrigin = "IOCP";
constexpr uint32_t kFallbackMaxMessageSize = 4096;

void LogSocketError(const char* format, int winsockError)
{
    LogFormatted(kOrigin, LOG_ERR, format, GetSocketErrorText(static_cast<uint32_t>(winsockError)));
}

} // namespace

CIOCPClientMulticast::~CIOCPClientMulticast()
{
    ReleaseAll(m_lstSendQueue);
    ReleaseAll(m_lstInFlight);
    if (m_hStopEvent != nullptr)
        CThreadBase::CloseHandle(m_hStopEvent);
}

bool CIOCPClientMulticast::Init(IIOCP_TransportOwner* server)
{
    m_pServer = server;
    m_bSendInFlight = false;
    m_hStopEvent = CThreadBase::CreateEventHandle();
    if (m_hStopEvent == nullptr) {
        LogMessage("Error : Unable to create event object", LOG_ERR, "CIOCPClientMulticast::Init()");
        return false;
    }
    return true;
}

uint32_t CIOCPClientMulticast::Start(uint32_t interfaceAddress, uint16_t port)
{
    platform::CompletionPort* completionPort = m_pServer->GetCompletionPort();
    if (completionPort == nullptr) {
        LogMessage("CIOCPClientMulticast::Start() - Completion port not created yet!", LOG_ERR, kOrigin);
        return EIOCPE_SERVER_NOT_STARTED;
    }
    CAutoLock lock(m_cs);
    if (m_bStarted.load())
        return EIOCPE_ALREADY_STARTED; // a second socket would leak the first
    m_nPort = port;
    m_nInterfaceAddress = interfaceAddress;
    m_socket = platform::CreateUdpSocket();
    if (m_socket == platform::INVALID_SOCKET) {
        const int error = platform::GetLastSocketError();
        LogSocketError("CIOCPClientMulticast::Start() - Can't create socket! %s", error);
        return TranslateSystemError(static_cast<uint32_t>(error));
    }
    if (!platform::SetMulticastInterface(m_socket, interfaceAddress))
        LogSocketError("CIOCPClientMulticast::Start() - Can't set home addr of multicast! %s",
                       platform::GetLastSocketError());
    uint32_t maxSize = kFallbackMaxMessageSize;
    if (!platform::GetMaxMessageSize(m_socket, &maxSize)) {
        LogSocketError("CIOCPClientMulticast::Start() - Can't get max UDP packet size! %s",
                       platform::GetLastSocketError());
        maxSize = kFallbackMaxMessageSize;
    }
    m_nMaxMessageSize.store(maxSize);
    if (!completionPort->Associate(m_socket, CompletionKeyOf(this))) {
        const int error = platform::GetLastSocketError();
        LogMessage(FormatString("CIOCPClientMulticast::Start() - CreateIoCompletionPort failed (err : %u) to attach socket!",
                                static_cast<unsigned>(error)),
                   LOG_ERR, kOrigin);
        CloseSocketLocked();
        return TranslateSystemError(static_cast<uint32_t>(error));
    }
    m_bStarted.store(true);
    return EIOCPE_SUCCESS;
}

uint32_t CIOCPClientMulticast::SendData(IIOCP_UDPBuffer* buffer)
{
    if (!m_bStarted.load())
        return EIOCPE_SERVER_NOT_STARTED;
    if (m_pServer->IsExiting())
        return EIOCPE_EXIT_IN_PROGRESS;
    if (buffer->GetSize() > m_nMaxMessageSize.load())
        return EIOCPE_UDP_PKT_TOO_BIG;
    CAutoLock lock(m_cs);
    buffer->AddRef();
    try {
        m_lstSendQueue.push_back(buffer);
    } catch (const std::exception& e) {
        buffer->Release();
        LogMessage(e.what(), LOG_ERR, "CIOCPClientMulticast::SendData");
        return EIOCPE_NO_MEM;
    }
    if (!m_bSendInFlight)
        m_bSendInFlight = PostSendOperation();
    return m_bSendInFlight ? EIOCPE_SUCCESS : EIOCPE_FAIL;
}

bool CIOCPClientMulticast::PostSendOperation()
{
    if (m_lstSendQueue.empty())
        return false;
    m_sendContext.Prepare(this);
    // One buffer per send: moving its list node allocates nothing, so nothing can be lost here.
    m_lstInFlight.splice(m_lstInFlight.end(), m_lstSendQueue, m_lstSendQueue.begin());
    IIOCP_UDPBuffer* buffer = m_lstInFlight.back();
    if (platform::StartSendTo(m_socket, buffer->GetData(), buffer->GetSize(), {buffer->GetTag(), m_nPort},
                              &m_sendContext.overlapped))
        return true;
    LogSocketError("CIOCPClientMulticast::PostSendOperation() - WSASendTo failed %s!", platform::GetLastSocketError());
    ReleaseAll(m_lstInFlight); // the datagram is lost
    return false;
}

void CIOCPClientMulticast::OnIoComplete(platform::OVERLAPPED* overlapped, uint32_t bytes)
{
    OnSendComplete(overlapped, bytes);
}

void CIOCPClientMulticast::OnSendComplete(platform::OVERLAPPED* overlapped, uint32_t bytes)
{
    CAutoLock lock(m_cs);
    m_bSendInFlight = false;
    ReleaseAll(m_lstInFlight);
    // A waiting Stop is released whether or not the server is exiting; it would hang otherwise.
    if (m_pServer->IsExiting() || m_bStopWaiting) {
        CThreadBase::SignalEventHandle(m_hStopEvent);
        return;
    }
    uint32_t transferred = bytes;
    if (!platform::GetOverlappedResult(*overlapped, &transferred))
        LogSocketError("CIOCPClientConnection::OnSendComplete() - WSAGetOverlappedResult failed %s!",
                       platform::GetLastSocketError()); // the datagram is lost, nothing is retried
    m_bSendInFlight = PostSendOperation();
}

void CIOCPClientMulticast::Stop()
{
    bool waitForSend = false;
    {
        CAutoLock lock(m_cs);
        CloseSocketLocked();
        if (m_bSendInFlight) {
            CThreadBase::ResetEventHandle(m_hStopEvent);
            m_bStopWaiting = waitForSend = true;
        }
    }
    if (waitForSend) // without the lock: the completion takes it
        CThreadBase::WaitForHandles(&m_hStopEvent, 1);
    m_bStarted.store(false);
    CAutoLock lock(m_cs);
    m_bStopWaiting = false;
    ReleaseAll(m_lstSendQueue);
}

void CIOCPClientMulticast::CloseSocketLocked()
{
    if (m_socket == platform::INVALID_SOCKET)
        return;
    platform::CloseSocket(m_socket);
    m_socket = platform::INVALID_SOCKET;
}

void CIOCPClientMulticast::ReleaseAll(std::list<IIOCP_UDPBuffer*>& buffers)
{
    for (IIOCP_UDPBuffer* buffer : buffers)
        buffer->Release();
    buffers.clear();
}
