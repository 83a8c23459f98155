#pragma once
// The kinds of overlapped operation and the system calls that perform each: one attempt on
// the non-blocking descriptor, which finishes the operation or reports that it would block.

#include "platform/Overlapped.h"

#include <cstdint>

namespace platform::detail {

enum class OperationKind : uint8_t {
    Receive = 1,
    Send,
    SendTo,
    Accept,     ///< queued on the listening socket: waits for a connection
    AcceptData, ///< on the accepting socket: waits for the first bytes
};

struct Attempt {
    /// NoDescriptor: a connection waits, but the system has no descriptor (or memory) for it now.
    enum Status { Done, WouldBlock, Accepted, NoDescriptor } status = Done;
    uint32_t result = 0; ///< Done: 0 or a Winsock error number
    uint32_t bytes = 0;  ///< Done: bytes transferred
    int acceptedFd = -1; ///< Accepted: the new connection
    SocketAddressV4 local;
    SocketAddressV4 peer;
};

inline OperationKind KindOf(const OVERLAPPED& op)
{
    return static_cast<OperationKind>(op.Internal.nKind);
}

/// One attempt at a receive or send on fd. The thread that owns the operation.
Attempt PerformOperation(OVERLAPPED& op, int fd);

/// Takes the next connection of the listening descriptor: Accepted, WouldBlock when there is
/// none, NoDescriptor, or Done with the error. The thread processing the listener's accepts.
Attempt AcceptConnection(int fd);

/// Writes the accepted connection's addresses behind the accept's data area. The owner.
void StoreAcceptAddresses(OVERLAPPED& op, const SocketAddressV4& local, const SocketAddressV4& peer);

/// Queues the completion packet on the operation's port and drops the port reference; the
/// operation belongs to its caller again. Never allocates. The owner, once per operation.
void CompleteOperation(OVERLAPPED* op, uint32_t result, uint32_t bytes);

} // namespace platform::detail
