#include "platform/linux/SocketContext.h"

#include "platform/Clock.h"
#include "platform/linux/PortCore.h"

#include <unistd.h>
#include <utility>

namespace platform::detail {

namespace {

bool Fail(int winsockError)
{
    SetLastSocketError(winsockError);
    return false;
}

constexpr uint32_t kAborted = kErrorOperationAborted;

} // namespace

SocketContext::SocketContext(int fd, bool datagram) : m_bDatagram(datagram), m_nFd(fd) {}

SocketContext::~SocketContext()
{
    ReleaseDescriptorLocked();
    if (m_held.acceptedFd >= 0)
        close(m_held.acceptedFd);
    if (m_pPort != nullptr)
        m_pPort->Release();
}

int32_t SocketContext::GetConnectTime()
{
    std::lock_guard lock(m_mutex);
    if (!m_bHasPeer)
        return -1;
    return static_cast<int32_t>((GetTickCount64() - m_nConnectTick) / 1000);
}

bool SocketContext::Associate(PortCore* port, uintptr_t key)
{
    std::lock_guard lock(m_mutex);
    if (m_bClosed)
        return Fail(kWsaENotSock);
    if (m_pPort != nullptr)
        return Fail(kWsaEInval);
    if (m_nFd >= 0 && !port->GetPoller().Add(m_nFd, m_handle))
        return false;
    port->AddRef();
    m_pPort = port;
    m_nKey = key;
    return true;
}

bool SocketContext::CanStartLocked()
{
    if (m_bClosed)
        return Fail(kWsaENotSock);
    if (m_pPort == nullptr)
        return Fail(kWsaEInval);
    if (m_bTearingDown || m_nFd < 0)
        return Fail(kWsaENotConn);
    return true;
}

void SocketContext::TakePortLocked(OVERLAPPED* op)
{
    m_pPort->AddRef();
    op->Internal.pPort = m_pPort;
    op->Internal.nKey = m_nKey;
}

bool SocketContext::Start(Direction direction, OVERLAPPED* op)
{
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked())
        return false;
    if (direction == Direction::Read &&
        (!m_readQueue.Empty() || m_acceptStage != AcceptStage::None || !m_acceptQueue.Empty()))
        return Fail(kWsaEInval); // one read-side operation at a time
    TakePortLocked(op);
    OperationQueue& q = QueueOf(direction);
    q.Push(op);
    if (q.GetState() != QueueState::Ready)
        return true; // behind others: the queue's processor or the reactor reaches it in order
    q.SetState(QueueState::Processing);
    ++m_nProcessors;
    const uint64_t sequence = m_nSequence;
    lock.unlock();
    Process(direction, sequence);
    return true;
}

bool SocketContext::Claim(OperationQueue& q)
{
    if (q.GetState() != QueueState::Waiting)
        return false;
    q.SetState(QueueState::Processing);
    ++m_nProcessors;
    return true;
}

void SocketContext::LeaveLocked()
{
    if (--m_nProcessors == 0 && m_bTearingDown)
        m_cvIdle.notify_all();
}

void SocketContext::OnReady(bool readable, bool writable)
{
    std::unique_lock lock(m_mutex);
    ++m_nSequence;
    if (Stopping())
        return;
    const bool read = readable && Claim(m_readQueue);
    const bool accept = readable && Claim(m_acceptQueue);
    const bool write = writable && Claim(m_writeQueue);
    if (writable && !write && m_bWatchingWrite)
        WatchWriteLocked(false);
    const uint64_t sequence = m_nSequence;
    lock.unlock();
    if (read)
        Process(Direction::Read, sequence);
    if (accept)
        ProcessAccepts(sequence);
    if (write)
        Process(Direction::Write, sequence);
}

void SocketContext::Process(Direction d, uint64_t sequence)
{
    std::unique_lock lock(m_mutex);
    OperationQueue& q = QueueOf(d);
    QueueState next = QueueState::Ready;
    while (!q.Empty()) {
        OVERLAPPED* op = q.Front();
        if (Stopping()) { // torn down before or while it was tried
            FinishLocked(q.PopFront(), kAborted, 0);
            continue;
        }
        const int fd = m_nFd;
        lock.unlock();
        const Attempt attempt = PerformOperation(*op, fd);
        lock.lock();
        if (Stopping())
            continue;
        if (attempt.status == Attempt::WouldBlock) {
            if (m_nSequence == sequence) {
                next = QueueState::Waiting;
                break;
            }
            sequence = m_nSequence; // readiness arrived while the call ran: the answer may be stale
            continue;
        }
        FinishLocked(q.PopFront(), attempt.result, attempt.bytes);
        sequence = m_nSequence;
    }
    q.SetState(next);
    if (next == QueueState::Waiting && d == Direction::Write && !m_bWatchingWrite)
        WatchWriteLocked(true);
    LeaveLocked();
}

void SocketContext::FinishLocked(OVERLAPPED* op, uint32_t result, uint32_t bytes)
{
    if (op == m_pAccept) { // the first bytes of an accepted connection
        m_acceptStage = AcceptStage::None;
        m_pAccept = nullptr;
    }
    CompleteOperation(op, result, bytes);
}

void SocketContext::AbortAllLocked(OVERLAPPED* list)
{
    while (list != nullptr) {
        OVERLAPPED* next = list->Internal.pNext; // completing links it into the port queue
        FinishLocked(list, kAborted, 0);
        list = next;
    }
}

// --- accepts, the listener's side --------------------------------------------------------

bool SocketContext::StartAccept(SocketContext& acceptor, OVERLAPPED* op)
{
    if (&acceptor == this)
        return Fail(kWsaEInval);
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked())
        return false;
    if (m_bDatagram || !m_readQueue.Empty())
        return Fail(kWsaEInval);
    TakePortLocked(op); // an accept completes through the listener's port and key
    op->Internal.pAcceptor = &acceptor;
    if (!acceptor.AdmitAccept(op, weak_from_this())) {
        m_pPort->Release();
        return false;
    }
    m_acceptQueue.Push(op);
    if (m_held.acceptedFd >= 0) {
        Attempt connection = std::exchange(m_held, Attempt{});
        uint64_t sequence = 0;
        auto claimed = HandOffLocked(connection, &sequence);
        lock.unlock();
        if (claimed)
            claimed->Process(Direction::Read, sequence);
        return true;
    }
    if (m_acceptQueue.GetState() != QueueState::Ready)
        return true;
    m_acceptQueue.SetState(QueueState::Processing);
    ++m_nProcessors;
    const uint64_t sequence = m_nSequence;
    lock.unlock();
    ProcessAccepts(sequence);
    return true;
}

void SocketContext::ProcessAccepts(uint64_t sequence)
{
    std::unique_lock lock(m_mutex);
    QueueState next = QueueState::Ready;
    while (!m_acceptQueue.Empty() && !Stopping()) {
        const int fd = m_nFd;
        lock.unlock();
        Attempt attempt = AcceptConnection(fd);
        lock.lock();
        if (attempt.status == Attempt::Accepted) {
            if (Stopping()) {
                close(attempt.acceptedFd);
                break;
            }
            uint64_t acceptorSequence = 0;
            if (auto claimed = HandOffLocked(attempt, &acceptorSequence)) {
                lock.unlock();
                claimed->Process(Direction::Read, acceptorSequence);
                lock.lock();
            }
        } else if (attempt.status == Attempt::WouldBlock) {
            if (m_nSequence == sequence) {
                next = QueueState::Waiting;
                break;
            } // else a connection arrived while the call ran: the answer may be stale
        } else if (attempt.status == Attempt::NoDescriptor) {
            ScheduleAcceptRetryLocked();
            next = QueueState::Waiting;
            break;
        } else {
            // The listener itself fails (not listening, say): the first accept reports it.
            OVERLAPPED* op = m_acceptQueue.PopFront();
            op->Internal.pAcceptor->AbortQueuedAccept(op, attempt.result);
        }
        sequence = m_nSequence;
    }
    m_acceptQueue.SetState(m_acceptQueue.Empty() ? QueueState::Ready : next);
    LeaveLocked();
}

// Gives the connection to the first queued accept whose socket still wants it, or keeps it
// for the next accept. The accepting socket that took it is returned for its first read.
std::shared_ptr<SocketContext> SocketContext::HandOffLocked(Attempt& connection, uint64_t* sequence)
{
    while (!m_acceptQueue.Empty()) {
        OVERLAPPED* op = m_acceptQueue.PopFront();
        SocketContext* acceptor = op->Internal.pAcceptor;
        switch (acceptor->InstallConnection(op, connection, sequence)) {
        case HandOff::Declined: continue;
        case HandOff::Failed: return nullptr;
        case HandOff::Installed: return acceptor->shared_from_this();
        }
    }
    m_held = connection;
    return nullptr;
}

void SocketContext::AbortAcceptsLocked()
{
    OVERLAPPED* op = m_acceptQueue.TakeAll();
    while (op != nullptr) {
        OVERLAPPED* next = op->Internal.pNext;
        op->Internal.pAcceptor->AbortQueuedAccept(op, kAborted);
        op = next;
    }
    if (m_held.acceptedFd >= 0) {
        close(m_held.acceptedFd);
        m_held = Attempt{};
    }
}

void SocketContext::ScheduleAcceptRetryLocked()
{
    if (m_bAcceptRetryScheduled)
        return;
    m_bAcceptRetryScheduled = true;
    m_pPort->GetReactor().RetryAcceptsLater(m_handle);
}

void SocketContext::RetryAccepts()
{
    std::unique_lock lock(m_mutex);
    m_bAcceptRetryScheduled = false;
    if (Stopping() || !Claim(m_acceptQueue))
        return;
    const uint64_t sequence = m_nSequence;
    lock.unlock();
    ProcessAccepts(sequence);
}

void SocketContext::WithdrawAccept(OVERLAPPED* op)
{
    std::lock_guard lock(m_mutex);
    // Not queued any more: whoever unlinked it has completed it or given it a connection.
    if (m_acceptQueue.Remove(op))
        op->Internal.pAcceptor->AbortQueuedAccept(op, kAborted);
}

// --- accepts, the accepting socket's side ----------------------------------------------

bool SocketContext::AdmitAccept(OVERLAPPED* op, std::weak_ptr<SocketContext> listener)
{
    std::lock_guard lock(m_mutex);
    if (m_bClosed)
        return Fail(kWsaENotSock);
    if (m_pPort == nullptr || m_bDatagram || m_bTearingDown || m_acceptStage != AcceptStage::None ||
        !m_readQueue.Empty() || !m_writeQueue.Empty() || m_nProcessors != 0)
        return Fail(kWsaEInval);
    if (m_bHasPeer)
        return Fail(kWsaEIsConn);
    ReleaseDescriptorLocked(); // the connection brings its own; an idle one would only be held
    m_acceptStage = AcceptStage::Queued;
    m_pAccept = op;
    m_pAcceptListener = std::move(listener);
    return true;
}

SocketContext::HandOff SocketContext::InstallConnection(OVERLAPPED* op, Attempt& connection, uint64_t* sequence)
{
    std::lock_guard lock(m_mutex);
    if (Stopping()) {
        FinishLocked(op, kAborted, 0);
        return HandOff::Declined;
    }
    if (!m_pPort->GetPoller().Add(connection.acceptedFd, m_handle)) {
        close(std::exchange(connection.acceptedFd, -1));
        FinishLocked(op, static_cast<uint32_t>(GetLastSocketError()), 0);
        return HandOff::Failed;
    }
    m_nFd = std::exchange(connection.acceptedFd, -1);
    m_bHasPeer = true;
    m_nConnectTick = GetTickCount64();
    StoreAcceptAddresses(*op, connection.local, connection.peer);
    op->Internal.nKind = static_cast<uint8_t>(OperationKind::AcceptData);
    m_acceptStage = AcceptStage::Receiving;
    m_readQueue.Push(op);
    m_readQueue.SetState(QueueState::Processing); // nothing else can be queued while Queued
    ++m_nProcessors;
    *sequence = m_nSequence;
    return HandOff::Installed;
}

void SocketContext::AbortQueuedAccept(OVERLAPPED* op, uint32_t result)
{
    std::lock_guard lock(m_mutex);
    if (m_acceptStage == AcceptStage::Queued && m_pAccept == op)
        FinishLocked(op, result, 0);
}

// --- teardown ------------------------------------------------------------------------------

bool SocketContext::Disconnect(OVERLAPPED* op)
{
    std::unique_lock lock(m_mutex);
    if (m_bClosed)
        return Fail(kWsaENotSock);
    if (m_pPort == nullptr || m_bDatagram || m_bTearingDown)
        return Fail(kWsaEInval);
    TakePortLocked(op);
    m_pDisconnect = op;
    TearDown(lock);
    return true;
}

void SocketContext::Close()
{
    std::unique_lock lock(m_mutex);
    if (m_bClosed)
        return;
    m_bClosed = true;
    if (m_bTearingDown) { // a disconnect runs on another thread; it ends with 995 now
        m_cvIdle.wait(lock, [this] { return !m_bTearingDown; });
        return;
    }
    TearDown(lock);
}

void SocketContext::WaitClosed()
{
    std::unique_lock lock(m_mutex);
    m_cvIdle.wait(lock, [this] { return m_bClosed && !m_bTearingDown; });
}

void SocketContext::TearDown(std::unique_lock<std::mutex>& lock)
{
    m_bTearingDown = true;
    AbortAllLocked(m_readQueue.TakeIdle());
    AbortAllLocked(m_writeQueue.TakeIdle());
    AbortAcceptsLocked();
    if (m_acceptStage == AcceptStage::Queued) {
        // Only the listener's lock may unlink it; a listener already gone has completed it.
        auto listener = m_pAcceptListener.lock();
        OVERLAPPED* op = m_pAccept;
        lock.unlock();
        if (listener)
            listener->WithdrawAccept(op);
        lock.lock();
    }
    m_cvIdle.wait(lock, [this] { return m_nProcessors == 0; });
    ReleaseDescriptorLocked();
    if (OVERLAPPED* op = std::exchange(m_pDisconnect, nullptr))
        CompleteOperation(op, m_bClosed ? kAborted : 0, 0);
    m_bTearingDown = false; // a disconnected socket takes the next connection
    m_cvIdle.notify_all();
}

void SocketContext::WatchWriteLocked(bool watch)
{
    m_pPort->GetPoller().WatchWrite(m_nFd, m_handle, watch);
    m_bWatchingWrite = watch;
}

void SocketContext::ReleaseDescriptorLocked()
{
    m_bHasPeer = false;
    m_bWatchingWrite = false;
    if (m_nFd < 0)
        return;
    if (m_pPort != nullptr)
        m_pPort->GetPoller().Remove(m_nFd);
    close(m_nFd);
    m_nFd = -1;
    if (m_pPort != nullptr)
        m_pPort->GetReactor().OnDescriptorClosed();
}

} // namespace platform::detail
