#pragma once
// What the multicast receiver hands its owner: every datagram from the server, and the
// errors of its receive thread.

#include <cstdint>

class IUDPPacketsReceiver {
public:
    /// 131 (the receive thread's wait failed) or 132 (a datagram was lost). Receive thread.
    virtual void OnUDPAsyncError(uint32_t error) = 0;
    /// One datagram from the server; its bytes are valid only during the call. Receive thread.
    virtual void OnUDPPktReceived(const uint8_t* data, uint32_t length) = 0;

protected:
    ~IUDPPacketsReceiver() = default; // owners are never deleted through this interface
};
