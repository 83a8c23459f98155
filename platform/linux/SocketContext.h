#pragma once
// One socket object of the layer: its descriptor (replaced by each accepted connection and
// dropped by a disconnect), its port association, and its operation queues.
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
//   teardown  close or disconnect refuses new operations and completes every queued one with
//             995 and 0 bytes, then waits for the threads that perform a call with the lock
//             released: back under the lock, each completes its operation with 995 instead of
//             going on. Only then is the descriptor closed and the disconnect completed, so
//             once the call returns no system call of the socket runs and nothing but the
//             port queue holds its operations.
// Accepts: the accepting socket owns its accept from start to completion; its AcceptStage,
// under its own lock, says where the operation is. Queued: it also waits in the listening
// socket's accept queue, which it leaves only under the listener's lock; whoever unlinks it
// then, under the accepting socket's lock, either completes it or installs a connection.
// Receiving: an ordinary read of the first bytes on the accepted descriptor. A connection
// that no queued accept still wants stays with the listener for the next accept.
// Lock order: a listening socket's lock may be held while an accepting socket's lock is
// taken, never the other way round; the port queue's, the reactor's and the socket table's
// locks are leaves.

#include "platform/Overlapped.h"
#include "platform/Socket.h"
#include "platform/SocketError.h"
#include "platform/linux/OperationQueue.h"
#include "platform/linux/Operations.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace platform::detail {

class PortCore;

enum class Direction { Read, Write };

class SocketContext : public std::enable_shared_from_this<SocketContext> {
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
    /// On the listening socket: starts the accept, filled in by the caller, for acceptor.
    bool StartAccept(SocketContext& acceptor, OVERLAPPED* op);
    /// Returns once every operation has completed and the descriptor is closed.
    bool Disconnect(OVERLAPPED* op);
    /// The socket handle is already out of the table. Returns once every operation has
    /// completed and the descriptor is closed.
    void Close();
    /// Returns once Close has finished, called on this object or not yet.
    void WaitClosed();
    /// Reactor thread only.
    void OnReady(bool readable, bool writable);
    /// Tries the parked accepts again after the system had no descriptor. Reactor thread only.
    void RetryAccepts();

private:
    enum class AcceptStage { None, Queued, Receiving };
    enum class HandOff { Declined, Failed, Installed };

    OperationQueue& QueueOf(Direction d) { return d == Direction::Read ? m_readQueue : m_writeQueue; }
    bool Stopping() const { return m_bTearingDown || m_bClosed; }
    bool CanStartLocked();
    void TakePortLocked(OVERLAPPED* op);
    bool Claim(OperationQueue& q);
    void LeaveLocked();
    void Process(Direction d, uint64_t sequence);
    void FinishLocked(OVERLAPPED* op, uint32_t result, uint32_t bytes);
    void AbortAllLocked(OVERLAPPED* list);

    // The listener's side of accepts; its lock held, except in ProcessAccepts.
    void ProcessAccepts(uint64_t sequence);
    std::shared_ptr<SocketContext> HandOffLocked(Attempt& connection, uint64_t* sequence);
    void AbortAcceptsLocked();
    void ScheduleAcceptRetryLocked();
    void WithdrawAccept(OVERLAPPED* op);

    // The accepting socket's side; each takes its own lock, under the listener's.
    bool AdmitAccept(OVERLAPPED* op, std::weak_ptr<SocketContext> listener);
    HandOff InstallConnection(OVERLAPPED* op, Attempt& connection, uint64_t* sequence);
    void AbortQueuedAccept(OVERLAPPED* op, uint32_t result);

    void TearDown(std::unique_lock<std::mutex>& lock);
    void ReleaseDescriptorLocked();
    void WatchWriteLocked(bool watch);

    SOCKET m_handle = INVALID_SOCKET;
    const bool m_bDatagram;
    std::mutex m_mutex;
    std::condition_variable m_cvIdle; ///< m_nProcessors reached 0, or a teardown finished
    // guarded by m_mutex
    int m_nFd;
    PortCore* m_pPort = nullptr; ///< one reference; its poller watches m_nFd
    uintptr_t m_nKey = 0;
    uint64_t m_nSequence = 0;    ///< bumped by every readiness event
    bool m_bWatchingWrite = false; ///< the poller reports room to send on m_nFd
    int m_nProcessors = 0;       ///< threads performing an operation with the lock released
    OperationQueue m_readQueue;
    OperationQueue m_writeQueue;
    OperationQueue m_acceptQueue; ///< a listener's: accepts of other sockets, Queued there
    Attempt m_held;               ///< a listener's: a connection taken that no accept wanted yet
    bool m_bAcceptRetryScheduled = false;
    AcceptStage m_acceptStage = AcceptStage::None;
    OVERLAPPED* m_pAccept = nullptr;            ///< this socket's own accept, while not None
    std::weak_ptr<SocketContext> m_pAcceptListener; ///< where it is Queued
    OVERLAPPED* m_pDisconnect = nullptr;        ///< completed when the teardown finishes
    bool m_bTearingDown = false;  ///< a teardown runs; new operations are refused
    bool m_bClosed = false;
    bool m_bHasPeer = false;
    uint64_t m_nConnectTick = 0;
};

} // namespace platform::detail
