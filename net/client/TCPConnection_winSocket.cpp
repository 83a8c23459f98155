// The socket side of CTCPConnection_win, all on its connection thread: connection attempts,
// the socket's events, the INIT handshake, receiving and framing, and closing.

#include "net/client/TCPConnection_win.h"

#include "net/client/ConnectionLog.h"
#include "net/common/SessionFraming.h"
#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"
#include "platform/DebugOutput.h"
#include "platform/HostLookup.h"
#include "platform/SocketError.h"
#include "platform/SocketIo.h"

using namespace client_connection_log;

namespace {

/// Keep-alive: the first probe after 5 s of silence, then one a second.
constexpr uint32_t kKeepAliveIdleMs = 5000;
constexpr uint32_t kKeepAliveIntervalMs = 1000;
/// A server that does not answer at all is given up at about the pace of reconnection.
constexpr uint32_t kConnectTimeoutMs = 20000;
/// A server that has taken none of a packet for this long has stopped reading.
constexpr uint32_t kSendStallMs = 30000;

uint32_t LastSocketFailure()
{
    return TranslateSystemError(static_cast<uint32_t>(platform::GetLastSocketError()));
}

/// INIT results after which trying again cannot help: the server refuses this client as it is.
bool IsFinalInitResult(uint32_t result)
{
    return (result >= INIT_BAD_VERSION && result <= INIT_UNKNOWN_CLIENT_TYPE) || result == INIT_FORBIDDEN_CLIENT;
}

} // namespace

uint32_t CTCPConnection_win::TryConnect(bool* retryable)
{
    *retryable = false;
    // The layer's sockets are never inherited by child processes.
    const platform::SOCKET s = platform::CreateTcpSocket();
    if (s == platform::INVALID_SOCKET) {
        platform::OutputDebugText("Socket soket method failed!\n");
        return LastSocketFailure();
    }
    if (!platform::SetKeepAlive(s, kKeepAliveIdleMs, kKeepAliveIntervalMs))
        return AbandonAttempt(s, LastSocketFailure());
    platform::SetNoDelay(s, true);
    platform::SetConnectTimeout(s, kConnectTimeoutMs);
    if (!m_hSocketEvent->Select(s, platform::FD_READ | platform::FD_CONNECT | platform::FD_CLOSE)) {
        platform::OutputDebugText("WSAEventSelect failed!\n");
        return AbandonAttempt(s, LastSocketFailure());
    }
    uint32_t address = 0;
    if (!platform::LookupHostIPv4(m_strHost, &address)) {
        platform::OutputDebugText("gethostbyname failed!\n");
        const uint32_t error = LastSocketFailure();
        *retryable = error == EIOCPE_WSANO_DATA;
        return AbandonAttempt(s, error);
    }
    if (!m_hSocketEvent->StartConnect({address, m_nPort})) {
        platform::OutputDebugText("connect failed!\n");
        return AbandonAttempt(s, LastSocketFailure());
    }
    m_socket = s;
    return EIOCPE_SUCCESS;
}

uint32_t CTCPConnection_win::AbandonAttempt(platform::SOCKET s, uint32_t error)
{
    m_hSocketEvent->Reset();
    platform::CloseSocket(s);
    return error;
}

void CTCPConnection_win::ReportAttemptFailure(uint32_t error)
{
    m_pReceiver->OnConnectFailed(error, m_nTag);
    LogFormatted(kThreadOrigin, LOG_ERR, "Try to connect failed : %s", GetErrorText(error));
}

void CTCPConnection_win::HandleNetworkEvents(bool notify)
{
    platform::NetworkEvents events;
    if (!m_hSocketEvent->Enumerate(&events)) {
        m_hSocketEvent->Reset();
        return;
    }
    if ((events.events & platform::FD_CONNECT) != 0)
        OnConnectDone(events.connectError);
    // Reading may close the socket (a refused INIT usually arrives with the server's close).
    if ((events.events & platform::FD_READ) != 0 && m_socket != platform::INVALID_SOCKET)
        ReceiveData(notify);
    if ((events.events & platform::FD_CLOSE) != 0 && m_socket != platform::INVALID_SOCKET) {
        LogMessage("Connection closed from server!", LOG_ERR, kThreadOrigin);
        CloseWithNotification(notify, EIOCPE_CONN_CLOSED_BY_SERVER);
    }
}

void CTCPConnection_win::OnConnectDone(int connectError)
{
    uint32_t error = EIOCPE_SUCCESS;
    if (connectError != 0) {
        error = TranslateSystemError(static_cast<uint32_t>(connectError));
        LogFormatted(kThreadOrigin, LOG_ERR, "Connect failed : %s", GetErrorText(error));
    } else {
        m_receiveArchive.Clear();
        error = SendClientInit();
        if (error == EIOCPE_SUCCESS) {
            m_nState = STATE_WAITING_INIT;
            return;
        }
        LogFormatted(kThreadOrigin, LOG_ERR, "SendClientInit : %s", GetErrorText(error));
    }
    if (m_nReconnectInterval == 0)
        m_pReceiver->OnConnectFailed(error, m_nTag);
    CloseCurrentSocket();
    m_nState = STATE_DISCONNECTED;
}

uint32_t CTCPConnection_win::SendClientInit()
{
    m_sendArchive.Clear();
    if (!m_sendArchive.Reserve(CSessionInitRequest::kFrameSize))
        return EIOCPE_NO_MEM;
    m_initRequest.WriteFrame(m_sendArchive.GetData());
    m_sendArchive.Commit(CSessionInitRequest::kFrameSize);
    return SendArchive();
}

uint32_t CTCPConnection_win::SendArchive()
{
    CDBGMonitor::ThreadSleep(); // the send may wait for room
    const bool sent = platform::SendAll(m_socket, m_sendArchive.GetData(), m_sendArchive.GetCount(),
                                        m_hAbortSendEvent.get(), kSendStallMs);
    CDBGMonitor::ThreadAwake();
    return sent ? EIOCPE_SUCCESS : LastSocketFailure();
}

// Frames are handled after every read, so that the archive never holds more than one frame and
// one read, however fast the server sends.
void CTCPConnection_win::ReceiveData(bool notify)
{
    int readError = 0;
    for (;;) {
        uint32_t received = 0;
        if (!platform::Receive(m_socket, m_readBuffer, sizeof m_readBuffer, &received)) {
            readError = platform::GetLastSocketError();
            break;
        }
        if (received == 0) {
            readError = platform::kWsaEConnAborted; // the server's orderly close
            break;
        }
        if (!TakeReceived(m_readBuffer, received, notify))
            return; // the connection was closed
    }
    if (readError == platform::kWsaEConnAborted || readError == platform::kWsaEConnReset ||
        readError == platform::kWsaETimedOut)
        platform::ShutdownSocket(m_socket, platform::ShutdownHow::Send);
}

bool CTCPConnection_win::TakeReceived(const uint8_t* bytes, uint32_t count, bool notify)
{
    if (!m_receiveArchive.Append(bytes, count)) {
        CloseWithNotification(notify, EIOCPE_NO_MEM);
        m_receiveArchive.Clear();
        return false;
    }
    return FrameReceived(notify);
}

bool CTCPConnection_win::FrameReceived(bool notify)
{
    uint32_t closeCode = EIOCPE_SUCCESS;
    const EFraming framing = RunFramingLoop(m_receiveArchive, [&](const uint8_t* frame, uint32_t) {
        closeCode = PacketReceived(frame);
        return closeCode == EIOCPE_SUCCESS && m_socket != platform::INVALID_SOCKET;
    });
    switch (framing) {
    case EFraming::NeedMore:
        return true;
    case EFraming::Broken:
        CloseWithNotification(notify, EIOCPE_PROTO_ERROR);
        LogMessage("Invalid packet header!", LOG_ERR, kThreadOrigin);
        break;
    case EFraming::Closed:
        if (closeCode != EIOCPE_SUCCESS)
            CloseWithNotification(notify, closeCode);
        break; // otherwise the packet's handling closed the connection already
    }
    m_receiveArchive.Clear();
    return false;
}

uint32_t CTCPConnection_win::PacketReceived(const uint8_t* frame)
{
    const CSessionHeader header = CSessionHeader::Read(frame);
    switch (m_nState) {
    case STATE_DISCONNECTED:
        LogMessage("PacketReceived() - When Disconnected?!?!!", LOG_ERR, kOrigin);
        return EIOCPE_SUCCESS;
    case STATE_CONNECTING:
        LogMessage("PacketReceived() - When waiting to connect?!?!!", LOG_ERR, kOrigin);
        return EIOCPE_SUCCESS;
    case STATE_WAITING_INIT:
        return InitAnswerReceived(header, frame);
    case STATE_ESTABLISHED:
        return SessionPacketReceived(header, frame);
    }
    LogMessage("conn thread - PacketReceived() - Unknown state!", LOG_ERR, kOrigin);
    return EIOCPE_SUCCESS;
}

uint32_t CTCPConnection_win::InitAnswerReceived(const CSessionHeader& header, const uint8_t* frame)
{
    if (header.nCommand != CMD_INIT_ANSWER) {
        LogMessage(FormatString("Received bad server response to INIT command : %02X - ignore!", header.nCommand),
                   LOG_MSG, kThreadOrigin);
        return EIOCPE_SUCCESS;
    }
    if (header.nLength < CSessionInitAnswer::kFrameSize) { // its result would lie beyond the frame
        LogMessage("Invalid packet header!", LOG_ERR, kThreadOrigin);
        return EIOCPE_PROTO_ERROR;
    }
    const CSessionInitAnswer answer = CSessionInitAnswer::Read(frame + CSessionHeader::kSize);
    if (answer.nResult == INIT_ADMITTED) {
        LogMessage("Received INIT ok!", LOG_MSG, kThreadOrigin);
        m_nState = STATE_ESTABLISHED;
        m_pReceiver->OnConnected(m_nTag);
        return EIOCPE_SUCCESS;
    }
    const uint32_t error = InitResultToError(answer.nResult);
    LogFormatted(kOrigin, LOG_ERR, "Init with server failed : %s", GetErrorText(error));
    if (IsFinalInitResult(answer.nResult))
        m_nReconnectInterval = 0;
    m_nState = STATE_DISCONNECTED;
    CloseCurrentSocket();
    if (m_nReconnectInterval == 0) // otherwise the timer tries again
        m_pReceiver->OnConnectFailed(error, m_nTag);
    return EIOCPE_SUCCESS;
}

uint32_t CTCPConnection_win::SessionPacketReceived(const CSessionHeader& header, const uint8_t* frame)
{
    switch (header.nCommand) {
    case CMD_USER:
        if (header.nLength > CSessionHeader::kSize) {
            m_pReceiver->OnReceivePkt(frame + CSessionHeader::kSize, header.nLength - CSessionHeader::kSize, m_nTag);
            return EIOCPE_SUCCESS;
        }
        LogMessage("Received bad USER pkt! Disconnect!", LOG_ERR, kOrigin);
        return EIOCPE_PROTO_ERROR;
    case CMD_UNKNOWN_CMD:
        LogMessage("Received unknown CMD from server!", LOG_ERR, kShortOrigin);
        return EIOCPE_SUCCESS;
    default:
        LogMessage(FormatString("Received unknown server packet : %.02X ignore!", header.nCommand), LOG_ERR,
                   kShortOrigin);
        return EIOCPE_SUCCESS;
    }
}

void CTCPConnection_win::CloseWithNotification(bool notify, uint32_t code)
{
    if (notify && m_nState == STATE_ESTABLISHED)
        m_pReceiver->OnDisconnected(code, m_nTag);
    else if (notify && m_nState == STATE_WAITING_INIT && m_nReconnectInterval == 0)
        m_pReceiver->OnConnectFailed(code, m_nTag);
    CloseCurrentSocket();
    m_nState = STATE_DISCONNECTED;
}

void CTCPConnection_win::CloseCurrentSocket()
{
    if (m_socket == platform::INVALID_SOCKET)
        return;
    m_hSocketEvent->Reset();
    platform::CloseSocket(m_socket);
    m_socket = platform::INVALID_SOCKET;
}
