#pragma once
// The context of one overlapped operation. The caller owns it and keeps it alive and
// untouched from the start of the operation until its completion packet has been dequeued
// (or its port destroyed); it is zeroed (= {}) before each start. The engine keeps its
// bookkeeping inside, the packet's place in the port's queue included, so that neither
// starting nor completing an operation allocates.

#include "platform/Socket.h"

#include <cstdint>

namespace platform {

namespace detail {
class PortCore;
class SocketContext;
}

struct OVERLAPPED;

/// The engine's record of an outstanding operation; meaningless to the caller.
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

struct OVERLAPPED {
    OperationState Internal;
    uint32_t nResult; ///< set at completion: 0, or a Winsock error number
    uint32_t nBytes;  ///< set at completion: bytes transferred
};

/// The outcome of a completed operation: true with the byte count, or false with the last
/// socket error set to its error. Any thread, after the completion has been dequeued.
bool GetOverlappedResult(const OVERLAPPED& overlapped, uint32_t* bytes);

} // namespace platform
