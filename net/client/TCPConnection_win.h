#pragma once
// The client's end of the TCP control connection. One connection thread owns the socket, the
// archives and the state: it carries out the queued requests one per wake-up, handles the
// socket's events, reconnects on its timer, runs the INIT handshake and frames the received
// bytes. Every callback into the application runs on that thread, and every send on it is
// synchronous, but gives up when a disconnect or the destroyer wants the thread, or when the
// server has taken nothing for a long time. A send asked for in a callback goes out at once
// unless requests are queued. The request queue is the only thing other threads touch.
// Precedence of the thread's wake-ups: stop, then requests, then the socket, then the timer.

#include "net/client/ClientCallbacks.h"
#include "net/client/ClientRequests.h"
#include "net/client/IIOCP_ClientConnection.h"
#include "net/common/SessionProtocol.h"
#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/NETArchive.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/SocketEvent.h"
#include "platform/Thread.h"
#include "platform/WaitableTimer.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

class CTCPConnection_win final : public IIOCP_ClientConnection {
public:
    /// A connection whose thread runs; null with `error` set (37, 47, 57, 58, 2). Any thread.
    static CTCPConnection_win* Create(IIOCP_ClientReceiver* receiver, uint32_t* error);
    /// Closes the socket without callbacks, ends the thread and drops the requests still
    /// queued; a waiting disconnect returns. A thread that has not ended within 10 s is
    /// terminated, and given up when the application holds it in a callback. Later calls do
    /// nothing. Any thread but the connection thread.
    uint32_t Destroy();
    /// Destroys first where that has not been done.
    ~CTCPConnection_win() override;

    uint32_t Connect(const char* host, uint16_t port, uint32_t reconnectSeconds) override;
    uint32_t Disconnect(bool notify, bool immediate) override;
    uint32_t Send(const void* packet, uint32_t length) override;

private:
    /// The fuzz target hands it received bytes and sessions without a server.
    friend class CConnectionReceiveProbe;

    enum EState : int32_t {
        STATE_DISCONNECTED = 0,
        STATE_CONNECTING = 1,
        STATE_WAITING_INIT = 2, ///< connected, the INIT answer awaited
        STATE_ESTABLISHED = 3,
    };

    explicit CTCPConnection_win(IIOCP_ClientReceiver* receiver);
    bool CreateEvents();
    /// Packet bytes the queue holds at most, as much as the server lets a client's backlog hold.
    static constexpr uint64_t kMaxQueuedBytes = 16u << 20;

    /// 0 queued; 37, also when the queue holds kMaxQueuedBytes; 58 once Destroy has drained it.
    uint32_t Enqueue(SClientRequest* request);
    /// Waits until the thread has carried the queued request out; false when the deadline (a
    /// tick count, UINT64_MAX for none) came first.
    bool WaitCarriedOut(SDisconnectRequest& request, uint64_t deadline);
    /// After a send was given up for a disconnect: whether the session's end is reported, as
    /// the first disconnect waiting asks; never when only the destroyer is waiting.
    bool QueuedDisconnectNotifies();
    bool IsQueueEmpty();
    /// Queues a new request made of the arguments: 0, or 37.
    template <class Request, class... Args>
    uint32_t EnqueueNew(Args&&... args);
    void DrainQueue();

    // Connection thread only, from here on.
    uint32_t ThreadMain();
    void RunLoop();
    void ArmReconnectTimer();
    void OnReconnectTimer();
    void CarryOutNextRequest();
    void OnConnectRequest(SConnectRequest& request);
    void OnSendRequest(const SSendRequest& request);
    /// Sends one packet as a USER frame; dropped unless the session is established.
    void SendPacket(const uint8_t* packet, uint32_t length);
    void OnDisconnectRequest(SDisconnectRequest& request);
    void DisconnectGracefully(bool notify);

    uint32_t TryConnect(bool* retryable);
    uint32_t AbandonAttempt(platform::SOCKET s, uint32_t error);
    void ReportAttemptFailure(uint32_t error);
    void HandleNetworkEvents(bool notify);
    void OnConnectDone(int connectError);
    uint32_t SendClientInit();
    /// Sends the send archive; a failed send leaves the session's byte stream broken.
    uint32_t SendArchive();
    void ReceiveData(bool notify);
    /// Appends one read's bytes and frames them; false once the connection was closed.
    bool TakeReceived(const uint8_t* bytes, uint32_t count, bool notify);
    bool FrameReceived(bool notify);
    /// Handles one whole frame by state; a non-zero result closes the connection with it.
    uint32_t PacketReceived(const uint8_t* frame);
    uint32_t InitAnswerReceived(const CSessionHeader& header, const uint8_t* frame);
    uint32_t SessionPacketReceived(const CSessionHeader& header, const uint8_t* frame);
    void CloseWithNotification(bool notify, uint32_t code);
    void CloseCurrentSocket();

    // Touched by the connection thread alone (and by Create and Destroy while it does not run).
    EState m_nState = STATE_DISCONNECTED;
    const uint32_t m_nTag = 0;
    /// Signature, client kind and client type of the INIT request.
    const CSessionInitRequest m_initRequest = CSessionInitRequest::ForThisProtocol();
    CClientCallbacks m_callbacks;
    IIOCP_ClientReceiver* const m_pReceiver; ///< the application, through m_callbacks
    uint16_t m_nPort = 0;  ///< of the last connect request
    std::string m_strHost; ///< of the last connect request: dotted IPv4 or a name
    uint32_t m_nReconnectInterval = 0; ///< seconds; 0: no automatic reconnection
    platform::SOCKET m_socket = platform::INVALID_SOCKET;
    std::unique_ptr<platform::SocketEvent> m_hSocketEvent; ///< connect, read and close of m_socket
    std::unique_ptr<platform::Thread> m_hThread;
    std::atomic<uint32_t> m_nThreadId{0}; ///< set by the thread as it starts
    uint8_t m_readBuffer[4096];
    std::unique_ptr<platform::Event> m_hStopEvent;    ///< auto-reset
    std::unique_ptr<platform::Event> m_hQueueEvent;   ///< manual-reset: set while requests wait
    std::unique_ptr<platform::Event> m_hStartedEvent; ///< auto-reset
    /// Manual-reset: set while disconnects wait in the queue or the destroyer runs, so that a
    /// send waiting for room lets them through.
    std::unique_ptr<platform::Event> m_hAbortSendEvent;
    CNETArchive m_receiveArchive{512}; ///< received, not yet framed
    CNETArchive m_sendArchive{512};    ///< the one packet being sent
    uint32_t m_nStartStatus = 0;       ///< the thread's start: 0, or 2 without its timer
    CMonitoredMutex m_csQueue{"CTCPConnection_win::m_csQueue"};
    std::deque<SClientRequest*> m_queue; // guarded by m_csQueue
    uint32_t m_nQueuedDisconnects = 0;   // guarded by m_csQueue
    uint64_t m_nQueuedBytes = 0;         // guarded by m_csQueue: the packets of the sends queued
    bool m_bClosed = false;              // guarded by m_csQueue: Destroy has drained the queue
    std::unique_ptr<platform::WaitableTimer> m_hReconnectTimer; ///< auto-reset; the thread's own
    bool m_bTimerArmed = false;
};
