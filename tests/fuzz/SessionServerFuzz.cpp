// Fuzz target: the receive path of a server connection slot, its framing loop and session
// commands, without a socket. The input is a series of sessions: a flags byte, then pieces
// that the slot takes as completed reads until it ends the session. Each session is played
// again on a second slot in as few reads as fit: wherever the stream was cut, both slots must
// make the same calls and queue the same answers, and every answer must be a whole frame.

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "net/common/QVNET_PktHeader.h"
#include "net/common/SessionFraming.h"
#include "net/server/IOCPClientConnection.h"
#include "net/server/IOCPClientId.h"
#include "platform/Inet.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

/// Session flags: bit 0, the server expects client kind 1 (else any kind); bits 1-2, the
/// connection handler's decision.
constexpr uint8_t kExpectKind = 1;
constexpr int kDecisionShift = 1;

/// The application behind the slot: admits as the flags say, keeps the connection while a
/// packet's own length matches its payload (as the server core does), and traces every call.
class CRecordingApplication final : public IIOCP_ConnHandler, public IIOCP_Receiver {
public:
    std::string trace;
    uint8_t flags = 0;
    uint64_t clientId = 0; ///< of the last admitted client

    uint32_t OnClientInit(uint32_t clientType, uint16_t clientKind, bool isLocal, uint64_t hardwareAddress,
                          uint32_t peerAddress, IIOCP_Receiver** receiver) override
    {
        trace += "init " + std::to_string(clientType) + " " + std::to_string(clientKind) + " " +
                 std::to_string(isLocal) + " " + std::to_string(hardwareAddress) + " " + std::to_string(peerAddress) +
                 ";";
        *receiver = this;
        switch ((flags >> kDecisionShift) & 3) {
        case 0: return INIT_ADMITTED;
        case 1: *receiver = nullptr; return INIT_ADMITTED;
        case 2: return INIT_TOO_MANY_CLIENTS;
        default: return INIT_FORBIDDEN_CLIENT;
        }
    }

    int32_t OnReceivePkt(uint64_t id, const uint8_t* payload, uint32_t length) override
    {
        FuzzCheck(id == clientId, "a packet comes under the id its client was admitted with");
        trace += "packet " + std::string(reinterpret_cast<const char*>(payload), length) + ";";
        QVNET_PktHeader header;
        return QVNET_PktHeader::Read(payload, length, header) && header.nLength == length ? 1 : 0;
    }

    void OnClientConnected(uint64_t id, uint32_t clientType) override
    {
        clientId = id;
        trace += "connected " + std::to_string(clientType) + ";";
    }

    void OnConnectionClosed(uint64_t, uint32_t, bool) override {} // the listen thread's, not the slot's
};

class CRecordingOwner final : public IIOCP_SlotOwner {
public:
    explicit CRecordingOwner(CRecordingApplication& application) : m_application(application) {}

    platform::CompletionPort* GetCompletionPort() override { return nullptr; }
    bool IsExiting() const override { return false; }
    platform::SOCKET GetListenSocket() const override { return platform::INVALID_SOCKET; }
    IIOCP_ConnHandler* GetConnHandler() const override { return &m_application; }
    const char* GetSignature() const override { return kSessionSignature; }
    uint16_t GetExpectedClientKind() const override
    {
        return (m_application.flags & kExpectKind) != 0 ? kSessionClientKind : 0;
    }
    void OnClientClosed(const CIOCPClosedNotice& notice) override
    {
        FuzzCheck(notice.pReceiver == &m_application &&
                      MakeClientId(notice.nSlotIndex, notice.nConnectionNumber) == m_application.clientId,
                  "the close notice names the admitted client");
        m_application.trace += "closed " + std::to_string(notice.nClientType) + ";";
    }

private:
    CRecordingApplication& m_application;
};

void CheckAnswers(const std::string& answers)
{
    CNETArchive archive(0);
    archive.Append(answers.data(), static_cast<uint32_t>(answers.size()));
    const EFraming end = RunFramingLoop(archive, [](const uint8_t* frame, uint32_t length) {
        const uint32_t command = CSessionHeader::Read(frame).nCommand;
        FuzzCheck((command == CMD_INIT_ANSWER && length == CSessionInitAnswer::kFrameSize) ||
                      (command == CMD_UNKNOWN_CMD && length == CSessionHeader::kSize),
                  "the slot answers with INIT answers and unknown-command frames only");
        return true;
    });
    FuzzCheck(end == EFraming::NeedMore && archive.GetCount() == 0, "the answers are whole frames");
}

} // namespace

/// Reaches the slot's receive path; a session is what an accepted connection from the
/// loopback address would be.
class CSlotReceiveProbe {
public:
    explicit CSlotReceiveProbe(IIOCP_SlotOwner* owner) { m_slot.Init(owner, 1); }

    void BeginSession()
    {
        CAutoLock lock(m_slot.m_cs);
        m_slot.m_nLocalAddress = m_slot.m_nPeerAddress = platform::LoopbackIPv4Address();
        m_slot.m_nState = SCC_CONNECTED;
        m_slot.OnConnected();
    }

    /// One completed read of at most kAreaSize bytes; false once the slot ends the session.
    bool Read(const uint8_t* bytes, uint32_t count)
    {
        std::memcpy(m_slot.m_receive.data, bytes, count);
        return m_slot.OnReadComplete(count);
    }

    /// Takes the session down as a disconnect does; the answers it queued.
    std::string EndSession()
    {
        CAutoLock lock(m_slot.m_cs);
        const CNETArchive& queued = m_slot.m_sendArchive;
        std::string answers;
        if (queued.GetCount() != 0)
            answers.assign(reinterpret_cast<const char*>(queued.GetData()), queued.GetCount());
        m_slot.OnDisconnected();
        m_slot.FreeArchives();
        m_slot.m_nState = SCC_NOT_INITIALIZED;
        return answers;
    }

private:
    CIOCPClientConnection m_slot;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CFuzzInput input(data, size);
    // Built once: a slot is large, and its lifetime is not what is fuzzed.
    static CRecordingApplication inPiecesApp, inOneApp;
    static CRecordingOwner inPiecesOwner(inPiecesApp), inOneOwner(inOneApp);
    static CSlotReceiveProbe inPieces(&inPiecesOwner), inOne(&inOneOwner);
    inPiecesApp.trace.clear();
    inOneApp.trace.clear();
    while (!input.AtEnd()) {
        inPiecesApp.flags = inOneApp.flags = input.Byte();
        std::vector<uint8_t> delivered;
        inPieces.BeginSession();
        for (bool open = true; open && !input.AtEnd();) {
            const std::span<const uint8_t> piece = input.Piece();
            if (piece.empty())
                break;
            delivered.insert(delivered.end(), piece.begin(), piece.end());
            open = inPieces.Read(piece.data(), static_cast<uint32_t>(piece.size()));
        }
        const std::string answers = inPieces.EndSession();
        CheckAnswers(answers);
        inPiecesApp.trace += answers;

        inOne.BeginSession();
        for (size_t at = 0; at < delivered.size(); at += CIOCPClientConnection::kAreaSize) {
            const size_t count = std::min<size_t>(delivered.size() - at, CIOCPClientConnection::kAreaSize);
            if (!inOne.Read(delivered.data() + at, static_cast<uint32_t>(count)))
                break;
        }
        inOneApp.trace += inOne.EndSession();
        FuzzCheck(inPiecesApp.trace == inOneApp.trace, "the session goes the same wherever its stream is cut");
    }
    return 0;
}
