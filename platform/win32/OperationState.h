#pragma once
// The Windows engine's record of an outstanding operation, kept inside its OVERLAPPED. It holds
// the system's own OVERLAPPED of the call, so that starting an operation allocates nothing.

#include <cstdint>

namespace platform {

namespace detail {
class SocketContext;
}

struct OVERLAPPED;

struct OperationState {
    /// The system's OVERLAPPED of the call; the system writes the call's status into it.
    uintptr_t systemRecord[4];
    OVERLAPPED* pPrev; ///< neighbours in the engine's list of operations the system may hold
    OVERLAPPED* pNext;
    detail::SocketContext* pSocket;   ///< the socket whose close waits for it, while listed
    detail::SocketContext* pListener; ///< an accept's listening socket, while listed
    uintptr_t nKey;                   ///< its completion key
    uintptr_t nAcceptSocket;          ///< an accept's system sockets, for its completion
    uintptr_t nListenSocket;
    uint32_t nFlags;        ///< a receive's flags, which the system may write until completion
    uint32_t nEngineResult; ///< the result when the engine queued the packet itself
    uint8_t nKind;
    uint8_t nEnding;        ///< how the engine ends it (EngineEnding)
    bool bListed;
};

} // namespace platform
