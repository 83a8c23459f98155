#pragma once
// Sends the server's datagrams (stream packets and heartbeats) over UDP through the server's
// completion port, one send in flight at a time, first in first out. Callers hand over
// reference-counted buffers and return at once; the sender keeps a reference until the
// datagram has left. A buffer's tag is its destination address, the sender's port its port.

#include "net/server/IOCP_CompletionTarget.h"
#include "net/server/IOCP_TransportOwner.h"
#include "net/server/IOCPContext.h"
#include "platform/Socket.h"
#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/ThreadBase.h"
#include "Subsidiary/UDPBuff.h"

#include <atomic>
#include <cstdint>
#include <list>

class CIOCPClientMulticast : public IIOCP_CompletionTarget {
public:
    CIOCPClientMulticast() = default;
    CIOCPClientMulticast(const CIOCPClientMulticast&) = delete;
    CIOCPClientMulticast& operator=(const CIOCPClientMulticast&) = delete;
    /// Releases the buffers still held; stop the sender first. The server's controlling thread.
    virtual ~CIOCPClientMulticast();

    /// Completion of the posted send. Worker threads.
    void OnIoComplete(platform::OVERLAPPED* overlapped, uint32_t bytes) override;
    /// Completion of the posted send: releases its buffer and posts the next. Worker threads.
    void OnSendComplete(platform::OVERLAPPED* overlapped, uint32_t bytes);

    /// Stores the server and creates the stop event; false after logging when it cannot.
    /// The server's creator, once.
    virtual bool Init(IIOCP_TransportOwner* server);
    /// Opens the socket on the interface and attaches it to the server's port; 0 or an
    /// EIOCPE code. The server's controlling thread.
    uint32_t Start(uint32_t interfaceAddress, uint16_t port);
    /// Queues the buffer and starts a send unless one is in flight: 0 when a send is in flight
    /// now, 1 when none could be posted, 128, 129, 130 or 37 when refused. Any thread.
    uint32_t SendData(IIOCP_UDPBuffer* buffer);
    /// Closes the socket, waits for the send in flight and releases every queued buffer; a
    /// second Stop does nothing. Any thread but the workers, without a monitored lock held.
    void Stop();

private:
    bool PostSendOperation();
    void CloseSocketLocked();
    void ReleaseAll(std::list<IIOCP_UDPBuffer*>& buffers);

    std::atomic<bool> m_bStarted{false};
    CAutoMutex m_cs;
    // guarded by m_cs
    bool m_bSendInFlight = false;
    bool m_bStopWaiting = false;                ///< a Stop waits for the send in flight
    std::list<IIOCP_UDPBuffer*> m_lstSendQueue; ///< one reference each, oldest first
    std::list<IIOCP_UDPBuffer*> m_lstInFlight;  ///< the posted send's buffer, one reference
    CIOCPContext m_sendContext{};
    platform::SOCKET m_socket = platform::INVALID_SOCKET;
    uint16_t m_nPort = 0;
    uint32_t m_nInterfaceAddress = 0;
    // set by Start, read without the lock by SendData
    std::atomic<uint32_t> m_nMaxMessageSize{4096};
    // set once by Init
    HANDLE m_hStopEvent = nullptr; ///< manual-reset: the send a Stop waits for is over
    IIOCP_TransportOwner* m_pServer = nullptr;
};
