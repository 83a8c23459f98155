#pragma once
// What a connection slot needs of the server that owns it.

#include "net/server/IIOCP_Server.h"
#include "net/server/IOCP_TransportOwner.h"
#include "platform/Socket.h"

#include <cstdint>

/// A client that had been admitted has left its slot; the listen thread tells its receiver.
struct CIOCPClosedNotice {
    uint32_t nConnectionNumber = 0;
    uint32_t nSlotIndex = 0;
    uint32_t nClientType = 0;
    bool bExiting = false; ///< the server's exiting flag when the notice was queued
    IIOCP_Receiver* pReceiver = nullptr;
};

class IIOCP_SlotOwner : public IIOCP_TransportOwner {
public:
    /// The socket the slots post their accepts on. Any thread while the server runs.
    virtual platform::SOCKET GetListenSocket() const = 0;
    /// The application's admission handler. Any thread.
    virtual IIOCP_ConnHandler* GetConnHandler() const = 0;
    /// The signature a client's INIT must carry. Any thread.
    virtual const char* GetSignature() const = 0;
    /// The client kind a client's INIT must carry; 0 admits any kind. Any thread.
    virtual uint16_t GetExpectedClientKind() const = 0;
    /// Drops the client from its groups and queues the notice. Any thread, the slot's lock held.
    virtual void OnClientClosed(const CIOCPClosedNotice& notice) = 0;
};
