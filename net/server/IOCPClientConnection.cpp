#include "net/server/IOCPClientConnection.h"

#include "net/common/SessionFraming.h"
#include "net/server/IOCPClientId.h"
#include "platform/Clock.h"
#include "platform/CompletionPort.h"
#include "platform/OverlappedSocket.h"
#include "platform/SocketError.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

const char* const kOrigin = "IOCP";
constexpr uint32_t kAddressArea = 32;
constexpr uint32_t kAcceptReceiveLength = CIOCPClientConnection::kAreaSize - 2 * kAddressArea;

std::atomic<uint32_t> g_nConnectedClients{0};
std::atomic<uint32_t> g_nConnectionCounter{0};

uint32_t NextConnectionNumber()
{
    uint32_t number;
    do
        number = ++g_nConnectionCounter;
    while (number == 0);
    return number;
}

void LogSocketError(const char* format, int winsockError)
{
    LogFormatted(kOrigin, LOG_ERR, format, GetSocketErrorText(static_cast<uint32_t>(winsockError)));
}

void LogConnectedClients(uint32_t count)
{
    LogMessage(FormatString("Connected clients : %lu", static_cast<unsigned long>(count)), LOG_MSG, kOrigin);
}

} // namespace

const char* GetStateName(uint32_t state)
{
    switch (state) {
    case SCC_NOT_INITIALIZED: return "SCC_NOT_INITIALIZED";
    case SCC_ACCEPTING: return "SCC_ACCEPTING";
    case SCC_CONNECTED: return "SCC_CONNECTED";
    case SCC_DISCONNECTING: return "SCC_DISCONNECTING";
    default: return "<Unknown state>";
    }
}

CIOCPClientConnection::CIOCPClientConnection() = default;

CIOCPClientConnection::~CIOCPClientConnection()
{
    CloseSocketHandle();
}

bool CIOCPClientConnection::Init(IIOCP_SlotOwner* server, uint32_t slotIndex)
{
    CAutoLock lock(m_cs);
    m_pServer = server;
    m_nSlotIndex = slotIndex;
    m_nBytesReceived = 0;
    m_nBytesSent = 0;
    return true;
}

uint32_t CIOCPClientConnection::GetReceiveBacklog()
{
    CAutoLock lock(m_cs);
    return m_nReceiveUsed;
}

uint32_t CIOCPClientConnection::GetSendBacklog()
{
    CAutoLock lock(m_cs);
    return m_sendArchive.GetCount();
}

bool CIOCPClientConnection::InitSocket()
{
    CAutoLock lock(m_cs);
    m_socket = platform::CreateTcpSocket();
    if (m_socket == platform::INVALID_SOCKET) {
        LogSocketError("CIOCPClientConnection::InitSocket() - %s", platform::GetLastSocketError());
        Close();
        return false;
    }
    if (!m_pServer->GetCompletionPort()->Associate(m_socket, CompletionKeyOf(this))) {
        const std::string text = FormatString("CreateIoCompletionPort failed (err : %u) to attach socket!",
                                              static_cast<unsigned>(platform::GetLastSocketError()));
        LogFormatted(kOrigin, LOG_ERR, "CIOCPClientConnection::InitSocket() - %s", text.c_str());
        Close();
        return false;
    }
    return PostAcceptOp();
}

bool CIOCPClientConnection::Close()
{
    CAutoLock lock(m_cs);
    CloseSocketHandle();
    if (!NothingOutstanding()) {
        m_nState = SCC_CLOSING; // the last completion finishes the job
        return true;
    }
    if (m_bConnected)
        OnDisconnected();
    FreeArchives();
    m_nState = SCC_NOT_INITIALIZED;
    return false;
}

void CIOCPClientConnection::OnIoComplete(platform::OVERLAPPED* overlapped, uint32_t bytes)
{
    CAutoLock lock(m_cs);
    if (overlapped == &m_receive.context.overlapped) {
        OnReceiveComplete(bytes);
    } else if (overlapped == &m_disconnectContext.overlapped) {
        OnDisconnectComplete();
    } else if (CSendContext* send = SendContextOf(overlapped)) {
        OnSendComplete(*send, bytes);
        if (m_nState == SCC_CONNECTED)
            PostSendOperation();
    }
    if (m_nState == SCC_CLOSING && NothingOutstanding())
        FinishClosing();
}

namespace {

/// Leaves a lock for a scope and enters it again at the scope's end.
class CAutoUnlock {
public:
    [[nodiscard]] explicit CAutoUnlock(CAutoMutex& mutex) : m_mutex(mutex) { m_mutex.Unlock(); }
    ~CAutoUnlock() { m_mutex.Lock(); }
    CAutoUnlock(const CAutoUnlock&) = delete;
    CAutoUnlock& operator=(const CAutoUnlock&) = delete;

private:
    CAutoMutex& m_mutex;
};

} // namespace

void CIOCPClientConnection::OnReceiveComplete(uint32_t bytes)
{
    m_bReadPending = false;
    if (bytes == 0) { // the peer closed, or the operation failed
        if (m_nState == SCC_ACCEPTING || m_nState == SCC_CONNECTED) {
            if (m_pServer->IsExiting())
                Close();
            else
                Disconnect();
        }
        return;
    }
    if (m_nState == SCC_ACCEPTING)
        OnAccepted();
    if (m_nState != SCC_CONNECTED)
        return;
    ++m_nBusy;
    bool keep;
    {
        CAutoUnlock unlocked(m_cs); // OnIoComplete holds the lock once
        keep = OnReadComplete(bytes);
    }
    --m_nBusy;
    RecordReceive(keep ? bytes : 0);
    if (m_nState == SCC_CONNECTED && (!keep || !PostReadOperation()))
        Disconnect();
}

void CIOCPClientConnection::OnSendComplete(CSendContext& send, uint32_t bytes)
{
    send.bInUse = false;
    --m_nSendsInFlight;
    m_nBytesSent += bytes;
    uint32_t transferred = 0;
    if (!platform::GetOverlappedResult(send.context.overlapped, &transferred))
        LogSocketError("CIOCPClientConnection::OnSendComplete() - %s", platform::GetLastSocketError());
}

void CIOCPClientConnection::OnDisconnectComplete()
{
    m_bDisconnectPending = false;
    if (m_nState != SCC_DISCONNECTING)
        return;
    if (m_pServer->IsExiting()) {
        Close();
    } else if (!NothingOutstanding()) {
        m_nState = SCC_CLOSING;
    } else {
        FreeArchives();
        PostAcceptOp(); // the socket is reused
    }
}

void CIOCPClientConnection::OnAccepted()
{
    platform::SocketAddressV4 local, peer;
    platform::GetAcceptAddresses(m_receive.data, kAcceptReceiveLength, kAddressArea, &local, &peer);
    m_nLocalAddress = local.address;
    m_nLocalPort = local.port;
    m_nPeerAddress = peer.address;
    m_nPeerPort = peer.port;
    m_nState = SCC_CONNECTED;
    OnConnected();
}

void CIOCPClientConnection::OnConnected()
{
    m_bConnected = true;
    m_nBytesReceived = 0;
    m_nBytesSent = 0;
    m_receiveArchive.Clear();
    m_sendArchive.Clear();
    RecordReceive(0);
    m_bSendEnabled = true;
    m_bAdmitted = false;
    m_pReceiver = nullptr;
    m_pClosedNoticeReceiver = nullptr;
    m_nClientType = 0;
    m_nHardwareAddress = 0;
    m_nConnectionNumber = NextConnectionNumber();
    m_nConnectedTick = platform::GetTickCount64();
    LogMessage(FormatString("Connected : ip : %s, so : %u, sid : %u", DottedAddress(m_nPeerAddress).c_str(),
                            m_socket, m_nSlotIndex),
               LOG_MSG, kOrigin);
    LogConnectedClients(++g_nConnectedClients);
}

void CIOCPClientConnection::OnDisconnected()
{
    m_bConnected = false;
    m_bSendEnabled = false;
    if (m_pClosedNoticeReceiver != nullptr)
        m_pServer->OnClientClosed({m_nConnectionNumber, m_nSlotIndex, m_nClientType, false, m_pClosedNoticeReceiver});
    if (m_socket != platform::INVALID_SOCKET)
        LogMessage(FormatString("Disconnected : so : %u, sid : %u\r\n", m_socket, m_nSlotIndex), LOG_MSG, kOrigin);
    else
        LogMessage(FormatString("Disconnected : so : <NULL>, sid : %u\r\n", m_nSlotIndex), LOG_MSG, kOrigin);
    m_bAdmitted = false;
    m_pReceiver = nullptr;
    m_pClosedNoticeReceiver = nullptr;
    LogConnectedClients(--g_nConnectedClients);
    m_nConnectionNumber = 0;
}

void CIOCPClientConnection::FinishClosing()
{
    if (m_bConnected)
        OnDisconnected();
    FreeArchives();
    m_nState = SCC_NOT_INITIALIZED;
    if (m_pServer->IsExiting())
        CloseSocketHandle();
    else if (m_socket == platform::INVALID_SOCKET)
        InitSocket(); // a closed slot takes clients again at once, not at the next maintenance
    else
        PostAcceptOp();
}

bool CIOCPClientConnection::Disconnect()
{
    platform::ShutdownSocket(m_socket, platform::ShutdownHow::Both);
    m_disconnectContext.Prepare(this);
    if (!platform::StartDisconnect(m_socket, &m_disconnectContext.overlapped)) {
        Close();
        return false;
    }
    if (m_nState == SCC_CONNECTED)
        OnDisconnected();
    m_nState = SCC_DISCONNECTING;
    m_bDisconnectPending = true;
    return true;
}

bool CIOCPClientConnection::PostAcceptOp()
{
    m_receive.context.Prepare(this);
    if (!platform::StartAccept(m_pServer->GetListenSocket(), m_socket, m_receive.data, kAcceptReceiveLength,
                               kAddressArea, &m_receive.context.overlapped)) {
        const int error = platform::GetLastSocketError();
        const std::string text = FormatString("WSAError state : %s, so : %u - %s", GetStateName(m_nState), m_socket,
                                              GetSocketErrorText(static_cast<uint32_t>(error)));
        LogFormatted(kOrigin, LOG_ERR, "CIOCPClientConnection::PostAcceptOp(m_lpfnAcceptEx) - %s", text.c_str());
        // A new socket at the next maintenance pass; disconnecting would only post the same
        // accept again at once.
        Close();
        return false;
    }
    m_bReadPending = true;
    m_nState = SCC_ACCEPTING;
    return true;
}

bool CIOCPClientConnection::PostReadOperation()
{
    m_receive.context.Prepare(this);
    if (!platform::StartReceive(m_socket, m_receive.data, kAreaSize, &m_receive.context.overlapped)) {
        LogSocketError("CIOCPClientConnection::PostReadOperation(WSARecv) - %s", platform::GetLastSocketError());
        m_bReadPending = false;
        return false;
    }
    m_bReadPending = true;
    return true;
}

void CIOCPClientConnection::PostSendOperation()
{
    if (m_nSendsInFlight == kSendContexts)
        return;
    if (m_sendArchive.GetCount() == 0) {
        // A graceful close ends the sending direction only once the last byte has left: the
        // sends still in flight would fail after the shutdown.
        if (!m_bSendEnabled && m_nSendsInFlight == 0)
            platform::ShutdownSocket(m_socket, platform::ShutdownHow::Send);
        return;
    }
    CSendContext* send = std::find_if(std::begin(m_sendContexts), std::end(m_sendContexts),
                                      [](const CSendContext& c) { return !c.bInUse; });
    const uint32_t length = std::min(m_sendArchive.GetCount(), kAreaSize);
    std::memcpy(send->data, m_sendArchive.GetData(), length);
    send->nLength = length;
    send->context.Prepare(this);
    if (!platform::StartSend(m_socket, send->data, length, &send->context.overlapped)) {
        LogSocketError("CIOCPClientConnection::PostSendOperation - %s", platform::GetLastSocketError());
        return; // the bytes stay in the archive
    }
    m_sendArchive.Consume(length);
    send->nPostTick = platform::GetTickCount64();
    send->bInUse = true;
    ++m_nSendsInFlight;
}

uint32_t CIOCPClientConnection::SendUserPacket(const void* payload, uint32_t length)
{
    CAutoLock lock(m_cs);
    return QueueLocked(payload, length, true);
}

uint32_t CIOCPClientConnection::SendRaw(const void* bytes, uint32_t length)
{
    CAutoLock lock(m_cs);
    return QueueLocked(bytes, length, false);
}

uint32_t CIOCPClientConnection::QueueLocked(const void* bytes, uint32_t length, bool userFrame)
{
    if (length == 0)
        return EIOCPE_FAIL;
    if (m_nState != SCC_CONNECTED || !m_bSendEnabled)
        return EIOCPE_NOT_CONNECTED;
    const uint64_t backlog =
        static_cast<uint64_t>(m_sendArchive.GetCount()) + length + (userFrame ? CSessionHeader::kSize : 0);
    const bool queued = backlog <= kMaxSendBacklog && (userFrame ? AppendFrame(m_sendArchive, CMD_USER, bytes, length)
                                                                 : m_sendArchive.Append(bytes, length));
    if (!queued) {
        DisableSend(false);
        return EIOCPE_NO_MEM;
    }
    PostSendOperation();
    return EIOCPE_SUCCESS;
}

void CIOCPClientConnection::DisableSend(bool close)
{
    CAutoLock lock(m_cs);
    if (m_nState != SCC_CONNECTED || (!close && !m_bSendEnabled))
        return;
    m_bSendEnabled = false;
    if (close) {
        Close();
        return;
    }
    m_nGracefulCloseTick = platform::GetTickCount64();
    PostSendOperation(); // shuts the sending direction down when nothing is left to send
}

bool CIOCPClientConnection::IsAdmitted()
{
    CAutoLock lock(m_cs);
    return m_nState == SCC_CONNECTED && m_bSendEnabled && m_bAdmitted;
}

bool CIOCPClientConnection::IsSendHung(uint32_t limitMs)
{
    CAutoLock lock(m_cs);
    for (const CSendContext& send : m_sendContexts)
        if (send.bInUse)
            return platform::GetTickCount64() - send.nPostTick > limitMs;
    return false;
}

CIOCPClientStats CIOCPClientConnection::GetStats()
{
    CAutoLock lock(m_cs);
    CIOCPClientStats stats;
    stats.strState = GetStateName(m_nState);
    stats.strPeerAddress = DottedAddress(m_nPeerAddress);
    stats.nClientType = m_nClientType;
    stats.nHardwareAddress = m_nHardwareAddress;
    stats.nReceiveUsed = m_nReceiveUsed;
    stats.nReceiveAllocated = m_nReceiveAllocated;
    stats.nSendUsed = m_sendArchive.GetCount();
    stats.nSendAllocated = m_sendArchive.GetCapacity();
    stats.nBytesSent = m_nBytesSent;
    stats.nBytesReceived = m_nBytesReceived;
    return stats;
}

void CIOCPClientConnection::Describe()
{
    CAutoLock lock(m_cs);
    const std::string socket = m_socket == platform::INVALID_SOCKET ? "INVALID_SOCKET" : std::to_string(m_socket);
    LogMessage(FormatString("[%u]:st:%s,so:%s,cl:%s:%u,snd_en:%u,in_snd:%u,sbs:%u,rbs:%u,bsnd:%llu,brcv:%llu,mac:%llu",
                            m_nSlotIndex, GetStateName(m_nState), socket.c_str(), DottedAddress(m_nPeerAddress).c_str(),
                            static_cast<unsigned>(m_nPeerPort), static_cast<unsigned>(m_bSendEnabled),
                            m_nSendsInFlight, m_sendArchive.GetCount(), m_nReceiveUsed,
                            static_cast<unsigned long long>(m_nBytesSent),
                            static_cast<unsigned long long>(m_nBytesReceived),
                            static_cast<unsigned long long>(m_nHardwareAddress)),
               LOG_MSG, kOrigin);
}

void CIOCPClientConnection::SendIfAdmitted(const void* payload, uint32_t length)
{
    CAutoLock lock(m_cs);
    if (IsAdmitted())
        SendUserPacket(payload, length);
}

bool CIOCPClientConnection::GetConnectedClient(CIOCPConnectedClient& client)
{
    CAutoLock lock(m_cs);
    if (m_nState != SCC_CONNECTED || !m_bSendEnabled)
        return false;
    client = {MakeClientId(m_nSlotIndex, m_nConnectionNumber), m_nClientType, m_nPeerAddress, m_nHardwareAddress};
    return true;
}

uint32_t CIOCPClientConnection::GetState()
{
    CAutoLock lock(m_cs);
    return m_nState;
}

void CIOCPClientConnection::Maintain(const CIOCPServerTimings& timings, CIOCPSendStuckList& stuck)
{
    CAutoLock lock(m_cs);
    switch (m_nState) {
    case SCC_NOT_INITIALIZED:
        InitSocket();
        break;
    case SCC_ACCEPTING:
        CloseIfSilent(timings.nAcceptLimitMs);
        break;
    case SCC_CONNECTED:
        if (IsSendHung(timings.nSendHangLimitMs))
            DropHungSend(stuck);
        else if (!m_bAdmitted && platform::GetTickCount64() - m_nConnectedTick > timings.nAdmitLimitMs)
            Close(); // a peer that never completes its INIT must not hold the slot
        else if (!m_bSendEnabled && m_nSendsInFlight == 0 &&
                 platform::GetTickCount64() - m_nGracefulCloseTick > timings.nCloseLimitMs)
            Close(); // nor one that ignores the end of the stream
        break;
    default:
        break;
    }
}

void CIOCPClientConnection::CloseIfSilent(uint32_t limitMs)
{
    int32_t seconds = -1;
    if (!platform::GetConnectTime(m_socket, &seconds)) {
        LogMessage(FormatString("CIOCPServer_win::SlotSocketMaintenance() - getsockopt(SO_CONNECT_TIME) failed (err : %u)!",
                                static_cast<unsigned>(platform::GetLastSocketError())),
                   LOG_ERR, kOrigin);
        return;
    }
    if (seconds >= 0 && static_cast<int64_t>(seconds) * 1000 > limitMs) // -1: no peer yet
        Close();
}

void CIOCPClientConnection::DropHungSend(CIOCPSendStuckList& stuck)
{
    stuck.Add(GetStats());
    LogMessage("CIOCPServer_win::SlotSocketMaintenance - Send hang :", LOG_ERR, kOrigin);
    Describe();
    m_bSendEnabled = false;
    Close();
}

void CIOCPClientConnection::ShutdownForExit()
{
    CAutoLock lock(m_cs);
    if (m_nState == SCC_ACCEPTING || m_nState == SCC_DISCONNECTING)
        Close();
    else if (m_nState == SCC_CONNECTED)
        DisableSend(false);
}

void CIOCPClientConnection::ForceShutdown()
{
    CAutoLock lock(m_cs);
    if (m_nState != SCC_CONNECTED)
        return;
    LogMessage("ListenThread - Force shutdown : ", LOG_MSG, kOrigin);
    Describe();
    Close();
}

void CIOCPClientConnection::RecordReceive(uint32_t bytes)
{
    m_nBytesReceived += bytes;
    m_nReceiveUsed = m_receiveArchive.GetCount();
    m_nReceiveAllocated = m_receiveArchive.GetCapacity();
}

void CIOCPClientConnection::FreeArchives()
{
    m_receiveArchive.Free();
    m_sendArchive.Free();
    RecordReceive(0);
}

void CIOCPClientConnection::CloseSocketHandle()
{
    if (m_socket == platform::INVALID_SOCKET)
        return;
    platform::CloseSocket(m_socket);
    m_socket = platform::INVALID_SOCKET;
}

bool CIOCPClientConnection::NothingOutstanding() const
{
    return m_nBusy == 0 && m_nSendsInFlight == 0 && !m_bReadPending && !m_bDisconnectPending;
}

CIOCPClientConnection::CSendContext* CIOCPClientConnection::SendContextOf(platform::OVERLAPPED* overlapped)
{
    for (CSendContext& send : m_sendContexts)
        if (overlapped == &send.context.overlapped)
            return &send;
    return nullptr;
}
