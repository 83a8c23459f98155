// The slot's handling of received data: the framing loop over the receive archive and the
// server's side of the session commands. All of it runs with the slot's lock released, on the
// one worker that completed the slot's read.

#include "net/server/IOCPClientConnection.h"

#include "net/common/SessionFraming.h"
#include "net/server/IOCPClientId.h"
#include "platform/NetInterfaces.h"
#include "platform/SocketError.h"
#include "Subsidiary/LittleEndian.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"

#include <vector>

namespace {

const char* const kOrigin = "IOCP";

/// Bytes of a CMD_INIT frame up to the end of its cookie.
constexpr uint32_t kInitCookieEnd = CSessionHeader::kSize + 112;

/// The server's own checks of a request, in their order: version, kind (when one is expected), signature.
uint32_t CheckInitRequest(const CSessionInitRequest& request, uint16_t expectedKind, const char* signature)
{
    if (request.nVersion != kSessionProtocolVersion)
        return INIT_BAD_VERSION;
    if (expectedKind != 0 && request.nClientKind != expectedKind)
        return INIT_BAD_CLIENT_KIND;
    if (!request.SignatureEquals(signature))
        return INIT_BAD_SIGNATURE;
    return INIT_ADMITTED;
}

} // namespace

bool CIOCPClientConnection::OnReadComplete(uint32_t bytes)
{
    if (!m_receiveArchive.Append(m_receive.data, bytes))
        return false;
    const EFraming result = RunFramingLoop(m_receiveArchive, [this](const uint8_t* frame, uint32_t length) {
        return HandleFrame(frame, length);
    });
    if (result == EFraming::Broken) {
        const std::string start = DescribeFrameStart(m_receiveArchive.GetData(), m_receiveArchive.GetCount());
        LogFormatted(kOrigin, LOG_ERR,
                     "CIOCPClientConnection::CheckForReadyPackets - Invalid packet header %s, disconnecting client!",
                     start.c_str());
    }
    return result == EFraming::NeedMore;
}

bool CIOCPClientConnection::HandleFrame(const uint8_t* frame, uint32_t length)
{
    if (GetState() != SCC_CONNECTED)
        return false; // closed meanwhile: nothing more is handled
    switch (CSessionHeader::Read(frame).nCommand) {
    case CMD_INIT:
        return HandleInit(frame, length);
    case CMD_USER:
        return HandleUser(frame + CSessionHeader::kSize, length - CSessionHeader::kSize);
    default:
        return AnswerUnknownCommand();
    }
}

bool CIOCPClientConnection::HandleInit(const uint8_t* frame, uint32_t length)
{
    CSessionInitAnswer answer;
    answer.nClientKind = m_pServer->GetExpectedClientKind();
    if (length < CSessionInitRequest::kFrameSize) {
        // Too short to hold a request: refused like another protocol version, and nothing past
        // the bytes that arrived is read.
        answer.nResult = INIT_BAD_VERSION;
        answer.nCookie = length >= kInitCookieEnd ? LoadU32LE(frame + kInitCookieEnd - 4) : 0;
        AnswerInit(answer, nullptr);
        return false;
    }
    const CSessionInitRequest request = CSessionInitRequest::Read(frame + CSessionHeader::kSize);
    answer.nCookie = request.nCookie;
    answer.nResult = CheckInitRequest(request, answer.nClientKind, m_pServer->GetSignature());
    IIOCP_Receiver* receiver = nullptr;
    if (answer.nResult == INIT_ADMITTED)
        answer.nResult = AskConnHandler(request, &receiver);
    const bool admitted = answer.nResult == INIT_ADMITTED;
    AnswerInit(answer, admitted ? receiver : nullptr);
    if (admitted)
        ReportConnected(receiver);
    return admitted;
}

// One hold of the lock for both, the answer first: a USER frame that SendToAll or SendToGroup
// queues for the client comes after its answer, never before it.
void CIOCPClientConnection::AnswerInit(const CSessionInitAnswer& answer, IIOCP_Receiver* receiver)
{
    uint8_t frame[CSessionInitAnswer::kFrameSize];
    answer.WriteFrame(frame);
    CAutoLock lock(m_cs);
    QueueLocked(frame, sizeof frame, false);
    m_bAdmitted = receiver != nullptr;
    m_pReceiver = receiver;
}

void CIOCPClientConnection::ReportConnected(IIOCP_Receiver* receiver)
{
    uint64_t clientId;
    uint32_t clientType;
    {
        CAutoLock lock(m_cs);
        m_pClosedNoticeReceiver = receiver; // from now on the close is reported, whatever follows
        clientId = MakeClientId(m_nSlotIndex, m_nConnectionNumber);
        clientType = m_nClientType;
    }
    receiver->OnClientConnected(clientId, clientType);
}

uint32_t CIOCPClientConnection::AskConnHandler(const CSessionInitRequest& request, IIOCP_Receiver** receiver)
{
    uint32_t peerAddress;
    {
        CAutoLock lock(m_cs);
        m_nClientType = request.nClientType;
        m_nHardwareAddress = request.nHardwareAddress;
        peerAddress = m_nPeerAddress;
    }
    const bool isLocal = IsConnectedFromLocalNetwork();
    const uint32_t result = m_pServer->GetConnHandler()->OnClientInit(request.nClientType, request.nClientKind, isLocal,
                                                                      request.nHardwareAddress, peerAddress, receiver);
    if (result == INIT_ADMITTED && *receiver == nullptr)
        return INIT_NO_RECEIVER;
    return result;
}

bool CIOCPClientConnection::HandleUser(const uint8_t* payload, uint32_t length)
{
    IIOCP_Receiver* receiver;
    {
        CAutoLock lock(m_cs);
        receiver = m_bAdmitted ? m_pReceiver : nullptr;
    }
    if (receiver == nullptr)
        return false; // USER before a successful INIT: closed without an answer
    return receiver->OnReceivePkt(GetClientId(), payload, length) != 0;
}

bool CIOCPClientConnection::AnswerUnknownCommand()
{
    uint8_t frame[CSessionHeader::kSize];
    CSessionHeader::Write(frame, CSessionHeader::kSize, CMD_UNKNOWN_CMD);
    return SendRaw(frame, sizeof frame) == EIOCPE_SUCCESS;
}

uint64_t CIOCPClientConnection::GetClientId()
{
    CAutoLock lock(m_cs);
    return MakeClientId(m_nSlotIndex, m_nConnectionNumber);
}

bool CIOCPClientConnection::IsConnectedFromLocalNetwork()
{
    uint32_t local, peer;
    {
        CAutoLock lock(m_cs);
        if (m_nState != SCC_CONNECTED || !m_bSendEnabled)
            return false;
        local = m_nLocalAddress;
        peer = m_nPeerAddress;
    }
    std::vector<platform::NetInterfaceV4> interfaces;
    if (!platform::GetNetInterfaces(interfaces)) {
        LogFormatted(kOrigin, LOG_ERR, "CIOCPClientConnection::IsConnectedFromLocalNetwork() - %s",
                     GetSocketErrorText(static_cast<uint32_t>(platform::GetLastSocketError())));
        return false;
    }
    for (const platform::NetInterfaceV4& at : interfaces)
        if (at.address == local)
            return ((peer ^ local) & at.netmask) == 0;
    LogMessage("CIOCPClientConnection::IsConnectedFromLocalNetwork() - Unknown server network interface!!!", LOG_ERR,
               kOrigin);
    return false;
}
