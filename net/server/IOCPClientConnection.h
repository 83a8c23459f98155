#pragma once
// One slot of the server's fixed array of client connections. It owns one TCP socket at a
// time and drives its whole life with overlapped operations on the server's completion port:
// an accept posted in advance (it completes with the client's first bytes), one read at a
// time, up to four sends in flight and a disconnect that keeps the socket for the next accept.
//
//   SCC_NOT_INITIALIZED  no socket; InitSocket (the server's maintenance) posts an accept
//   SCC_ACCEPTING        the accept is posted; a peer may be connected but silent
//   SCC_CONNECTED        the first bytes arrived; INIT admits the client
//   SCC_DISCONNECTING    the disconnect is posted; its completion posts the next accept
//   SCC_CLOSING          closed (or disconnected) with operations outstanding: the last
//                        completion finishes the teardown and brings the slot back
//
// Received bytes are framed and their commands handled with the lock released, so the
// application's callbacks may send to any client; the busy counter keeps the slot from being
// torn down meanwhile, and only one read is ever outstanding.

#include "net/server/IIOCP_Server.h"
#include "net/server/IOCPClientStats.h"
#include "net/server/IOCPContext.h"
#include "net/server/IOCPSendStuckList.h"
#include "net/server/IOCP_CompletionTarget.h"
#include "net/server/IOCP_SlotOwner.h"
#include "net/common/SessionProtocol.h"
#include "platform/Socket.h"
#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/NETArchive.h"

#include <cstdint>

enum ESCC_STATE : uint32_t {
    SCC_NOT_INITIALIZED = 0,
    SCC_ACCEPTING = 1,
    SCC_CONNECTED = 2,
    SCC_DISCONNECTING = 3,
    SCC_CLOSING = 4,
};

/// "SCC_NOT_INITIALIZED" ... "SCC_DISCONNECTING"; "<Unknown state>" for any other value.
const char* GetStateName(uint32_t state);

/// A connected client with sending enabled, as the server's queries see it.
struct CIOCPConnectedClient {
    uint64_t nClientId = 0;
    uint32_t nClientType = 0;
    uint32_t nPeerAddress = 0;
    uint64_t nHardwareAddress = 0;
};

class CIOCPClientConnection : public IIOCP_CompletionTarget {
public:
    static constexpr uint32_t kAreaSize = 51200;
    static constexpr uint32_t kSendContexts = 4;
    static constexpr uint32_t kArchiveGrowStep = 500000;
    /// Queued bytes beyond which a queue call is refused like an archive that cannot grow:
    /// a peer that writes without reading must not make the server buffer without limit.
    static constexpr uint32_t kMaxSendBacklog = 16u << 20;

    CIOCPClientConnection();
    /// The server has closed the slot and its operations have completed. The controlling thread.
    ~CIOCPClientConnection();
    CIOCPClientConnection(const CIOCPClientConnection&) = delete;
    CIOCPClientConnection& operator=(const CIOCPClientConnection&) = delete;

    /// A completed accept, read, send or disconnect of this slot. Worker threads.
    void OnIoComplete(platform::OVERLAPPED* overlapped, uint32_t bytes) override;
    /// Stores the server and the 1-based slot index; true. The controlling thread, once.
    virtual bool Init(IIOCP_SlotOwner* server, uint32_t slotIndex);
    /// Bytes held in the receive archive. Any thread.
    virtual uint32_t GetReceiveBacklog();
    /// Bytes waiting in the send archive. Any thread.
    virtual uint32_t GetSendBacklog();
    /// A new socket on the server's port with an accept posted; false after logging, the
    /// slot closed. Any thread.
    virtual bool InitSocket();
    /// Closes the socket; true while operations are outstanding (the last completion finishes
    /// the teardown), false when the slot is already back to SCC_NOT_INITIALIZED. Any thread.
    virtual bool Close();

    /// Queues one USER frame: 0; 1 for an empty payload; 46 unless connected with sending
    /// enabled; 37, with sending shut down, when the backlog cannot take it. Any thread.
    uint32_t SendUserPacket(const void* payload, uint32_t length);
    /// The same for a ready-made block, sent as it is. Any thread.
    uint32_t SendRaw(const void* bytes, uint32_t length);
    /// Only while connected: with `close` closes at once, also a slot whose graceful close is
    /// under way; without it, while sending is enabled, ends sending once the backlog has left
    /// (the sending direction is then shut down). Any thread.
    void DisableSend(bool close);
    /// Connected, sending enabled and admitted by INIT. Any thread.
    bool IsAdmitted();
    /// The oldest send still in flight was posted more than limitMs ago. Any thread.
    bool IsSendHung(uint32_t limitMs);
    /// Any thread.
    CIOCPClientStats GetStats();
    /// Logs the slot's one-line description. Any thread.
    void Describe();
    /// The peer is on the network of the interface it reached the server through. Any thread.
    bool IsConnectedFromLocalNetwork();

    /// Runs operation(*this) under the slot's lock when the slot holds that connection with
    /// an admitted client (with `closing`, also one whose sending a graceful close has ended);
    /// false otherwise. Any thread.
    template <class Operation>
    bool WithClient(uint32_t connectionNumber, Operation&& operation, bool closing = false)
    {
        CAutoLock lock(m_cs);
        const bool held = closing ? m_nState == SCC_CONNECTED && m_bAdmitted : IsAdmitted();
        if (connectionNumber != m_nConnectionNumber || !held)
            return false;
        operation(*this);
        return true;
    }
    /// Sends when the slot holds an admitted client. Any thread.
    void SendIfAdmitted(const void* payload, uint32_t length);
    /// The client while connected with sending enabled; false otherwise. Any thread.
    bool GetConnectedClient(CIOCPConnectedClient& client);
    /// Any thread.
    uint32_t GetState();

    /// One maintenance pass: a socket for a slot without one; closes a peer connected without
    /// data, connected and not admitted, or still connected after a graceful close, beyond its
    /// limit, and a slot whose send hangs (its record goes to `stuck`). The listen thread.
    void Maintain(const CIOCPServerTimings& timings, CIOCPSendStuckList& stuck);
    /// The server stops: accepting and disconnecting slots close, connected ones end their
    /// sending after the backlog. The listen thread.
    void ShutdownForExit();
    /// Closes a slot that is still connected, after logging it. The listen thread.
    void ForceShutdown();

private:
    /// The fuzz target hands it reads and sessions without a socket.
    friend class CSlotReceiveProbe;

    struct CSendContext {
        CIOCPContext context;
        uint32_t nLength = 0;
        bool bInUse = false;
        uint64_t nPostTick = 0; ///< when the send was posted, ms
        uint8_t data[kAreaSize];
    };
    struct CReceiveContext {
        CIOCPContext context; ///< serves the accept and the reads
        uint8_t data[kAreaSize];
    };

    // Completions and transitions, with the lock held.
    void OnReceiveComplete(uint32_t bytes);
    void OnSendComplete(CSendContext& send, uint32_t bytes);
    void OnDisconnectComplete();
    void OnAccepted();
    void OnConnected();
    void OnDisconnected();
    void FinishClosing();
    bool Disconnect();
    bool PostAcceptOp();
    bool PostReadOperation();
    void PostSendOperation();
    uint32_t QueueLocked(const void* bytes, uint32_t length, bool userFrame);
    void RecordReceive(uint32_t bytes);
    void FreeArchives();
    void CloseSocketHandle();
    bool NothingOutstanding() const;
    CSendContext* SendContextOf(platform::OVERLAPPED* overlapped);
    void CloseIfSilent(uint32_t limitMs);
    void DropHungSend(CIOCPSendStuckList& stuck);

    // Received data, with the lock released (the busy counter held).
    bool OnReadComplete(uint32_t bytes);
    bool HandleFrame(const uint8_t* frame, uint32_t length);
    bool HandleInit(const uint8_t* frame, uint32_t length);
    uint32_t AskConnHandler(const CSessionInitRequest& request, IIOCP_Receiver** receiver);
    /// Queues the answer, then admits the client when a receiver is given (else not).
    void AnswerInit(const CSessionInitAnswer& answer, IIOCP_Receiver* receiver);
    void ReportConnected(IIOCP_Receiver* receiver);
    bool HandleUser(const uint8_t* payload, uint32_t length);
    bool AnswerUnknownCommand();
    uint64_t GetClientId();

    CAutoMutex m_cs;
    // guarded by m_cs
    uint32_t m_nConnectionNumber = 0; ///< 0 while no client is connected
    uint32_t m_nClientType = 0;
    uint32_t m_nState = SCC_NOT_INITIALIZED;
    uint32_t m_nPeerAddress = 0; ///< network order
    uint16_t m_nPeerPort = 0;
    uint32_t m_nLocalAddress = 0;
    uint16_t m_nLocalPort = 0;
    CIOCPContext m_disconnectContext{};
    bool m_bDisconnectPending = false;
    bool m_bSendEnabled = false;
    uint32_t m_nSendsInFlight = 0;
    CSendContext m_sendContexts[kSendContexts];
    CReceiveContext m_receive;
    bool m_bReadPending = false; ///< an accept or a read
    bool m_bConnected = false;   ///< between OnConnected and OnDisconnected
    uint32_t m_nBusy = 0;        ///< threads handling received data with the lock released
    CNETArchive m_sendArchive{kArchiveGrowStep};
    platform::SOCKET m_socket = platform::INVALID_SOCKET;
    uint64_t m_nBytesReceived = 0;
    uint64_t m_nBytesSent = 0;
    uint64_t m_nConnectedTick = 0; ///< when the first bytes arrived, ms
    uint64_t m_nGracefulCloseTick = 0; ///< when a graceful close ended the sending, ms
    uint32_t m_nReceiveUsed = 0;      ///< the receive archive's figures as of the last read:
    uint32_t m_nReceiveAllocated = 0; ///< the archive itself is used without the lock
    IIOCP_Receiver* m_pReceiver = nullptr;
    bool m_bAdmitted = false;
    IIOCP_Receiver* m_pClosedNoticeReceiver = nullptr; ///< told of the close: OnClientConnected was called
    uint64_t m_nHardwareAddress = 0;
    // used by the one thread handling received data (m_nBusy keeps it alive)
    CNETArchive m_receiveArchive{kArchiveGrowStep};
    // set once by Init
    IIOCP_SlotOwner* m_pServer = nullptr;
    uint32_t m_nSlotIndex = 0;
};
