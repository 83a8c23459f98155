#pragma once
// What a slot reports of itself for the statistics text.

#include <cstdint>
#include <string>

struct CIOCPClientStats {
    std::string strState;
    std::string strPeerAddress; ///< dotted
    uint32_t nClientType = 0;
    uint64_t nHardwareAddress = 0;
    uint32_t nReceiveUsed = 0;      ///< "InU": bytes held in the receive archive
    uint32_t nReceiveAllocated = 0; ///< "InA": its capacity
    uint32_t nSendUsed = 0;         ///< "OutU"
    uint32_t nSendAllocated = 0;    ///< "OutA"
    uint64_t nBytesSent = 0;
    uint64_t nBytesReceived = 0;
};

/// "a.b.c.d" of an IPv4 address in network order.
std::string DottedAddress(uint32_t address);
