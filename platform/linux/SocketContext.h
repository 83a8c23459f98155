#pragma once
// One socket object of the layer: its descriptor (replaced by each accepted connection and
// dropped by a disconnect), its port association, and its two operation queues.
//
// How an overlapped operation travels (the packet contract: every started operation
// completes exactly once through its port, never inside the call that started it):
//   start     the operation is queued on its direction. If the queue was Ready the caller
//             becomes its processor and tries the system call at once, lock released.
//   park      a would-block parks the queue (Waiting) unless a readiness event arrived while
//             the call ran: the reactor bumps m_nSequence under the lock on every event, and
//             a processor that sees it changed tries again instead of parking. A parked send
//             starts the watch for room to send, which reports room that is there already;
//             the first write event that finds no send waiting ends the watch.
//   readiness the reactor claims each Waiting queue of the event's directions and processes
//             it on its own thread.
//   complete  a finished operation is popped and its packet queued on the operation's port.
//   teardown  close or disconnect completes every queued operation with 995 and 0 bytes; the
//             front operation of a queue being processed is left to its processor, and the
//             last processor to leave closes the descriptor (never under a running call) and
//             queues the disconnect's completion.
// Accepts: StartAccept queues an Accept on the listening socket and records it as pending on
// the accepting socket. Whoever unlinks it from the listening socket's queue owns its
// completion; the processor that takes a connection hands it to the accepting socket, which
// turns the operation into AcceptData, a receive of the first bytes on the new descriptor.
// Lock order: a listening socket's lock may be held while an accepting socket's lock is
// taken, never the other way round; the port queue's and the socket table's locks are leaves.

#include "platform/Overlapped.h"
#include "platform/Socket.h"
#include "platform/SocketError.h"
#include "platform/linux/OperationQueue.h"
#include "platform/linux/Operations.h"

#include <cstdint>
#include <mutex>

namespace platform::detail {

class PortCore;

enum class Direction { Read, Write };

class SocketContext {
public:
    SocketContext(int fd, bool datagram);
    SocketContext(const SocketContext&) = delete;
    SocketContext& operator=(const SocketContext&) = delete;
    ~SocketContext();

    /// The socket table, once, before anyone else sees the object.
    void SetHandle(SOCKET handle) { m_handle = handle; }

    /// Runs call(fd) under the lock; fails with 10057 when there is no descriptor. Any thread.
    template <class Call>
    bool WithDescriptor(Call&& call)
    {
        std::lock_guard lock(m_mutex);
        if (m_nFd < 0) {
            SetLastSocketError(kWsaENotConn);
            return false;
        }
        return call(m_nFd);
    }
    /// Any thread.
    bool IsDatagram() const { return m_bDatagram; }
    /// Seconds since the accepted peer connected, -1 without one. Any thread.
    int32_t GetConnectTime();

    /// Any thread, for this and the calls below; each fails with the last socket error set.
    bool Associate(PortCore* port, uintptr_t key);
    /// Starts a receive (Read) or a send or send-to (Write) that the caller has filled in.
    bool Start(Direction direction, OVERLAPPED* op);
    /// On the accepting socket: records the accept, before it is queued on the listening one.
    bool BeginAccept(OVERLAPPED* op, SOCKET listenSocket);
    /// On the listening socket: queues the accept.
    bool EnqueueAccept(OVERLAPPED* op);
    /// On the accepting socket: true while the accept is still pending there.
    bool HasPendingAccept(OVERLAPPED* op);
    /// On the listening socket: completes the accept with 995 unless someone else owns it.
    void CancelAccept(OVERLAPPED* op);
    /// On the accepting socket: forgets the accept, which its remover completes.
    void ForgetAccept(OVERLAPPED* op);
    bool Disconnect(OVERLAPPED* op);
    /// The socket handle is already out of the table.
    void Close();
    /// Reactor thread only.
    void OnReady(bool readable, bool writable);

private:
    OperationQueue& QueueOf(Direction d) { return d == Direction::Read ? m_readQueue : m_writeQueue; }
    bool CanStartLocked();
    void PushAndProcess(std::unique_lock<std::mutex>& lock, Direction d, OVERLAPPED* op);
    bool Claim(OperationQueue& q);
    void Process(Direction d, uint64_t sequence);
    void HandOffConnection(OVERLAPPED* op, const Attempt& attempt);
    bool InstallConnection(OVERLAPPED* op, const Attempt& attempt);
    void AbortLocked(OVERLAPPED* op);
    void TearDownLocked(std::unique_lock<std::mutex>& lock);
    void FinishTeardownLocked();
    void ReleaseDescriptorLocked();
    void WatchWriteLocked(bool watch);

    SOCKET m_handle = INVALID_SOCKET;
    const bool m_bDatagram;
    std::mutex m_mutex;
    // guarded by m_mutex
    int m_nFd;
    PortCore* m_pPort = nullptr; ///< one reference; its poller watches m_nFd
    uintptr_t m_nKey = 0;
    uint64_t m_nSequence = 0;    ///< bumped by every readiness event
    bool m_bWatchingWrite = false; ///< the poller reports room to send on m_nFd
    int m_nProcessors = 0;       ///< threads performing an operation with the lock released
    OperationQueue m_readQueue;
    OperationQueue m_writeQueue;
    OVERLAPPED* m_pPendingAccept = nullptr; ///< queued on the listening socket m_pendingListen
    SOCKET m_pendingListen = INVALID_SOCKET;
    OVERLAPPED* m_pDisconnect = nullptr;    ///< completed when the teardown finishes
    bool m_bTearingDown = false;
    bool m_bClosed = false;
    bool m_bHasPeer = false;
    uint64_t m_nConnectTick = 0;
};

} // namespace platform::detail
