// Fuzz target: the receive path of the client's TCP connection, its framing loop, the INIT
// answer and the session packets, without a server. The input is a series of sessions: a flags
// byte, then pieces that the connection takes as reads until it closes. Each session is played
// again on a second connection in as few reads as fit: wherever the stream was cut, both must
// tell the application the same.

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "net/client/TCPConnection_win.h"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

namespace {

/// Session flags: bit 0, the connection reconnects by itself (a refused INIT is then not
/// reported to the application).
constexpr uint8_t kReconnects = 1;

class CRecordingReceiver final : public IIOCP_ClientReceiver {
public:
    std::string trace;

    void OnReceivePkt(const uint8_t* payload, uint32_t length, uint32_t) override
    {
        trace += "packet " + std::string(reinterpret_cast<const char*>(payload), length) + ";";
    }
    void OnConnectFailed(uint32_t error, uint32_t) override { trace += "failed " + std::to_string(error) + ";"; }
    void OnDisconnected(uint32_t error, uint32_t) override { trace += "disconnected " + std::to_string(error) + ";"; }
    void OnConnected(uint32_t) override { trace += "connected;"; }
};

} // namespace

/// Reaches the connection's receive path. Its socket is a real one that never connects, so
/// that closing it takes the same steps as closing a session.
class CConnectionReceiveProbe {
public:
    explicit CConnectionReceiveProbe(IIOCP_ClientReceiver* receiver) : m_connection(receiver)
    {
        m_connection.m_hSocketEvent = platform::SocketEvent::Create();
    }
    ~CConnectionReceiveProbe() { m_connection.CloseCurrentSocket(); }
    CConnectionReceiveProbe(const CConnectionReceiveProbe&) = delete;
    CConnectionReceiveProbe& operator=(const CConnectionReceiveProbe&) = delete;

    /// As after a connect whose INIT request went out.
    void BeginSession(uint32_t reconnectSeconds)
    {
        m_connection.CloseCurrentSocket();
        m_connection.m_socket = platform::CreateTcpSocket();
        m_connection.m_receiveArchive.Clear();
        m_connection.m_nReconnectInterval = reconnectSeconds;
        m_connection.m_nState = CTCPConnection_win::STATE_WAITING_INIT;
    }

    /// Reads of at most the connection's read buffer; false once the connection closed.
    bool Read(std::span<const uint8_t> bytes)
    {
        constexpr size_t kReadLimit = sizeof m_connection.m_readBuffer;
        for (size_t at = 0; at < bytes.size(); at += kReadLimit) {
            const std::span<const uint8_t> read = bytes.subspan(at, std::min(kReadLimit, bytes.size() - at));
            if (!m_connection.TakeReceived(read.data(), static_cast<uint32_t>(read.size()), true))
                return false;
        }
        return true;
    }

    int32_t State() const { return m_connection.m_nState; }

private:
    CTCPConnection_win m_connection;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Built once: the lock monitor keeps a record for every lock object of a connection.
    static CRecordingReceiver inPiecesReceiver, inOneReceiver;
    static CConnectionReceiveProbe inPieces(&inPiecesReceiver), inOne(&inOneReceiver);
    inPiecesReceiver.trace.clear();
    inOneReceiver.trace.clear();
    CFuzzInput input(data, size);
    while (!input.AtEnd()) {
        const uint32_t reconnectSeconds = (input.Byte() & kReconnects) != 0 ? 1 : 0;
        std::vector<uint8_t> delivered;
        inPieces.BeginSession(reconnectSeconds);
        for (bool open = true; open && !input.AtEnd();) {
            const std::span<const uint8_t> piece = input.Piece();
            if (piece.empty())
                break;
            delivered.insert(delivered.end(), piece.begin(), piece.end());
            open = inPieces.Read(piece);
        }
        inOne.BeginSession(reconnectSeconds);
        inOne.Read(delivered);
        inPiecesReceiver.trace += "state " + std::to_string(inPieces.State()) + ";";
        inOneReceiver.trace += "state " + std::to_string(inOne.State()) + ";";
        FuzzCheck(inPiecesReceiver.trace == inOneReceiver.trace,
                  "the session goes the same wherever its stream is cut");
    }
    return 0;
}
