#pragma once
// The client's multicast receiver: one UDP socket bound to the stream's port, joined to the
// group for the server as the only source, and one receive thread that hands every datagram
// from the server to its owner. It knows nothing of what the datagrams hold and never logs.

#include "net/client/UDPPacketsReceiver.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/SocketEvent.h"
#include "platform/Thread.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

class CUDP_Receiver {
public:
    /// Creates the stop, started and socket event objects; a failure leaves one null, which
    /// Init reports with 133. Any thread.
    CUDP_Receiver();
    /// Stops a running receive thread, then closes the event objects.
    virtual ~CUDP_Receiver();
    CUDP_Receiver(const CUDP_Receiver&) = delete;
    CUDP_Receiver& operator=(const CUDP_Receiver&) = delete;

    /// Group, port and source (IPv4 network order / host-order port) and the owner; 0, 133 or 47.
    uint32_t Init(uint32_t groupAddress, uint16_t port, uint32_t sourceAddress,
                  IUDPPacketsReceiver* receiver);
    /// Binds, starts the receive thread, joins the group; 0 or an EIOCPE code.
    uint32_t Start();
    /// Ends the receive thread and closes the socket; nothing if not running. A thread that
    /// has not ended within 10 s is terminated, and given up when the owner holds it in a
    /// callback.
    void Stop();
    /// The receive thread is in its loop.
    bool IsRunning() const;
    /// Set by Init; ClearInitialised forgets it (the client's shutdown does so).
    bool IsInitialised() const;
    void ClearInitialised();

private:
    /// Bytes of the socket's receive buffer: a burst of a few thousand 4 KiB datagrams, such
    /// as the server's initial population, must not overflow it.
    static constexpr uint32_t kReceiveBufferBytes = 8u << 20;

    uint32_t OpenSocket();
    void CloseSocket();
    uint32_t JoinGroup();
    uint32_t ReceiveThread();
    void OnSocketEvent();
    /// Reads and hands on one datagram; false when none was waiting or the read failed.
    bool ReceiveDatagram();
    void ReportError(uint32_t error);
    /// The datagram in the buffer.
    void Deliver(uint32_t length);

    bool m_bInitialised = false;
    uint16_t m_nPort = 0;
    uint32_t m_nSourceAddress = 0; ///< the server: the only sender accepted
    uint32_t m_nGroupAddress = 0;
    platform::SOCKET m_socket = platform::INVALID_SOCKET;
    std::unique_ptr<platform::SocketEvent> m_hSocketEvent; ///< FD_READ of m_socket
    std::atomic<bool> m_bRunning{false};
    std::unique_ptr<platform::Event> m_hStartedEvent;
    std::unique_ptr<platform::Thread> m_hThread;
    std::array<uint8_t, 65536> m_buffer{}; ///< one datagram; receive thread only
    std::unique_ptr<platform::Event> m_hStopEvent;
    IUDPPacketsReceiver* m_pReceiver = nullptr;
};
