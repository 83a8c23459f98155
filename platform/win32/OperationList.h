#pragma once
// Every operation that the system may hold, in one list, so that a close or disconnect can
// wait until the system has let go of each operation of its socket, whose packets may still
// wait in a port: Windows completes a cancelled operation later, not inside the close. A packet
// leaves the list when it is dequeued, or when a close or disconnect settles it first.
// Lock order: a socket's lock may be held while this list's lock is taken, never the other way.

#include "platform/Overlapped.h"

#include <mutex>

namespace platform::detail {

class SocketContext;

class OperationList {
public:
    /// The process's list; it lives until the process ends. Any thread.
    static OperationList& Instance();

    /// Any thread, for this and the calls below.
    void Add(OVERLAPPED* op);
    void Remove(OVERLAPPED* op);
    /// Asks the system to cancel the accept the socket waits for as the accepting socket.
    void CancelAccepts(const SocketContext* acceptor);
    /// Waits until the system holds no operation of the socket (as its socket or as an
    /// accept's listener), then detaches them: each that failed ends with 995.
    void Settle(SocketContext* socket);
    /// Takes a dequeued operation out and tells how it ends: the result and bytes it reports.
    void Finish(OVERLAPPED* op, uint32_t systemError, uint32_t bytes);

private:
    bool HoldsAny(const SocketContext* socket);
    void UnlinkLocked(OVERLAPPED* op);

    std::mutex m_mutex;
    // guarded by m_mutex
    OVERLAPPED* m_pHead = nullptr;
};

} // namespace platform::detail
