#pragma once
// The client's end of the TCP control connection: one connection thread does all socket
// work, the INIT handshake and the framing; the application queues requests and is called
// back on that thread. Results are EIOCPE codes (Subsidiary/NetErrors.h).

#include <cstdint>

/// Callbacks of the connection, all on the connection thread; `tag` is always 0.
class IIOCP_ClientReceiver {
public:
    virtual ~IIOCP_ClientReceiver() = default;
    /// One USER packet's payload in an established session.
    virtual void OnReceivePkt(const uint8_t* payload, uint32_t length, uint32_t tag) = 0;
    /// A connection attempt or the handshake failed and no automatic reconnection is pending.
    virtual void OnConnectFailed(uint32_t error, uint32_t tag) = 0;
    /// An established session ended.
    virtual void OnDisconnected(uint32_t error, uint32_t tag) = 0;
    /// The INIT answer admitted the client.
    virtual void OnConnected(uint32_t tag) = 0;
};

class IIOCP_ClientConnection {
public:
    virtual ~IIOCP_ClientConnection() = default;
    /// Queues a connection to host (dotted IPv4 or a name) and port; `reconnectSeconds` 0 means
    /// no automatic reconnection. 0 queued; 47 for a null host or port 0; 37; 58 after
    /// DestroyClientConnection. Any thread.
    virtual uint32_t Connect(const char* host, uint16_t port, uint32_t reconnectSeconds) = 0;
    /// Carries out a disconnect and waits for it: immediate closes at once; graceful shuts the
    /// sending side down and waits for the server to close (at most 5 s of silence). With
    /// `notify` the usual callbacks report the end. 0; 37; 57; 58 after DestroyClientConnection;
    /// 3 on the connection thread (a callback), which it would wait for. Any other thread.
    virtual uint32_t Disconnect(bool notify, bool immediate) = 0;
    /// Queues one application packet as a USER frame; dropped unless the session is
    /// established. In a callback, with nothing queued, it is sent before the call returns, and
    /// a failure may report the session's end from within it. 0 queued or sent; 47 for a null
    /// packet, length 0 or a length above 1 MiB - 10 bytes (CSessionHeader::kMaxPayload); 37,
    /// also while 16 MiB of packets wait to be sent; 58 after DestroyClientConnection. Any thread.
    virtual uint32_t Send(const void* packet, uint32_t length) = 0;
};

/// A connection with its thread running; null with `error` set (37, 47, 57, 58, 2). Any thread.
IIOCP_ClientConnection* CreateClientConnection(IIOCP_ClientReceiver* receiver, uint32_t* error);
/// Closes without callbacks and ends the thread; the caller then deletes the object. 0.
uint32_t DestroyClientConnection(IIOCP_ClientConnection* connection);
