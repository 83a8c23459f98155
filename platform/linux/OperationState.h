#pragma once
// The Linux engine's record of an outstanding operation, kept inside its OVERLAPPED.

#include "platform/Socket.h"

#include <cstdint>

namespace platform {

namespace detail {
class PortCore;
class SocketContext;
}

struct OVERLAPPED;

struct OperationState {
    OVERLAPPED* pNext;       ///< the next in its socket's queue, then in the port's queue
    detail::PortCore* pPort; ///< the port the completion goes to (one reference held)
    uintptr_t nKey;          ///< its completion key
    uint8_t* pBuffer;
    uint32_t nLength;
    uint32_t nDone;          ///< bytes of a send already handed to the system
    SocketAddressV4 address; ///< destination of a send-to
    detail::SocketContext* pAcceptor; ///< the socket an accept gives its connection to
    uint32_t nAddressArea;   ///< accept: bytes after the received data for each address
    uint8_t nKind;
    uint64_t nPacketOrder;   ///< its place among the port's queued packets
};

} // namespace platform
