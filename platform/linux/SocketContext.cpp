#include "platform/linux/SocketContext.h"

#include "platform/Clock.h"
#include "platform/linux/PortCore.h"
#include "platform/linux/SocketTable.h"

#include <unistd.h>
#include <utility>

namespace platform::detail {

namespace {

bool Fail(int winsockError)
{
    SetLastSocketError(winsockError);
    return false;
}

} // namespace

SocketContext::SocketContext(int fd, bool datagram) : m_bDatagram(datagram), m_nFd(fd) {}

SocketContext::~SocketContext()
{
    ReleaseDescriptorLocked();
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
    port->AddRef();
    m_pPort = port;
    m_nKey = key;
    if (m_nFd >= 0)
        m_pPort->GetPoller().Add(m_nFd, m_handle);
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

bool SocketContext::Start(Direction direction, OVERLAPPED* op)
{
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked())
        return false;
    if (direction == Direction::Read && (!m_readQueue.Empty() || m_pPendingAccept != nullptr))
        return Fail(kWsaEInval); // one read-side operation at a time
    m_pPort->AddRef();
    op->Internal.pPort = m_pPort;
    op->Internal.nKey = m_nKey;
    PushAndProcess(lock, direction, op);
    return true;
}

void SocketContext::PushAndProcess(std::unique_lock<std::mutex>& lock, Direction d, OVERLAPPED* op)
{
    OperationQueue& q = QueueOf(d);
    q.Push(op);
    if (q.GetState() != QueueState::Ready)
        return; // behind others: the queue's processor or the reactor reaches it in order
    q.SetState(QueueState::Processing);
    ++m_nProcessors;
    const uint64_t sequence = m_nSequence;
    lock.unlock();
    Process(d, sequence);
}

bool SocketContext::Claim(OperationQueue& q)
{
    if (q.GetState() != QueueState::Waiting)
        return false;
    q.SetState(QueueState::Processing);
    ++m_nProcessors;
    return true;
}

void SocketContext::OnReady(bool readable, bool writable)
{
    std::unique_lock lock(m_mutex);
    ++m_nSequence;
    if (m_bTearingDown)
        return;
    const bool read = readable && Claim(m_readQueue);
    const bool write = writable && Claim(m_writeQueue);
    if (writable && !write && m_bWatchingWrite)
        WatchWriteLocked(false);
    const uint64_t sequence = m_nSequence;
    lock.unlock();
    if (read)
        Process(Direction::Read, sequence);
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
        const int fd = m_nFd;
        lock.unlock();
        const Attempt attempt = PerformOperation(*op, fd);
        lock.lock();
        if (attempt.status == Attempt::WouldBlock && !m_bTearingDown) {
            if (m_nSequence == sequence) {
                next = QueueState::Waiting;
                break;
            }
            sequence = m_nSequence; // readiness arrived while the call ran: the answer may be stale
            continue;
        }
        q.PopFront();
        if (attempt.status == Attempt::Accepted) {
            lock.unlock();
            HandOffConnection(op, attempt);
            lock.lock();
        } else if (attempt.status == Attempt::WouldBlock) {
            AbortLocked(op); // torn down while it was being tried
        } else {
            CompleteOperation(op, attempt.result, attempt.bytes);
        }
        sequence = m_nSequence;
    }
    q.SetState(next);
    if (next == QueueState::Waiting && d == Direction::Write && !m_bWatchingWrite)
        WatchWriteLocked(true);
    if (--m_nProcessors == 0 && m_bTearingDown)
        FinishTeardownLocked();
}

bool SocketContext::BeginAccept(OVERLAPPED* op, SOCKET listenSocket)
{
    std::lock_guard lock(m_mutex);
    if (m_bClosed)
        return Fail(kWsaENotSock);
    if (m_pPort == nullptr || m_bDatagram || m_bTearingDown || m_pPendingAccept != nullptr ||
        !m_readQueue.Empty())
        return Fail(kWsaEInval);
    if (m_bHasPeer)
        return Fail(kWsaEIsConn);
    m_pPendingAccept = op;
    m_pendingListen = listenSocket;
    return true;
}

bool SocketContext::EnqueueAccept(OVERLAPPED* op)
{
    std::unique_lock lock(m_mutex);
    if (!CanStartLocked())
        return false;
    m_pPort->AddRef();
    op->Internal.pPort = m_pPort;
    op->Internal.nKey = m_nKey;
    PushAndProcess(lock, Direction::Read, op);
    return true;
}

bool SocketContext::HasPendingAccept(OVERLAPPED* op)
{
    std::lock_guard lock(m_mutex);
    return m_pPendingAccept == op;
}

void SocketContext::CancelAccept(OVERLAPPED* op)
{
    std::lock_guard lock(m_mutex);
    if (m_readQueue.Remove(op))
        CompleteOperation(op, kErrorOperationAborted, 0);
}

void SocketContext::ForgetAccept(OVERLAPPED* op)
{
    std::lock_guard lock(m_mutex);
    if (m_pPendingAccept == op)
        m_pPendingAccept = nullptr;
}

void SocketContext::HandOffConnection(OVERLAPPED* op, const Attempt& attempt)
{
    auto acceptor = SocketTable::Instance().Find(op->Internal.acceptSocket);
    if (acceptor && acceptor->InstallConnection(op, attempt))
        return;
    // The accepting socket was closed or disconnected meanwhile and no longer wants it.
    close(attempt.acceptedFd);
    CompleteOperation(op, kErrorOperationAborted, 0);
}

bool SocketContext::InstallConnection(OVERLAPPED* op, const Attempt& attempt)
{
    std::unique_lock lock(m_mutex);
    if (m_pPendingAccept != op)
        return false;
    m_pPendingAccept = nullptr;
    if (m_nProcessors != 0)
        return false; // a call still runs on the old descriptor
    ReleaseDescriptorLocked();
    m_nFd = attempt.acceptedFd;
    m_pPort->GetPoller().Add(m_nFd, m_handle);
    m_bHasPeer = true;
    m_nConnectTick = GetTickCount64();
    StoreAcceptAddresses(*op, attempt.local, attempt.peer);
    op->Internal.nKind = static_cast<uint8_t>(OperationKind::AcceptData);
    PushAndProcess(lock, Direction::Read, op);
    return true;
}

void SocketContext::AbortLocked(OVERLAPPED* op)
{
    if (KindOf(*op) == OperationKind::Accept) {
        if (auto acceptor = SocketTable::Instance().Find(op->Internal.acceptSocket))
            acceptor->ForgetAccept(op);
    }
    CompleteOperation(op, kErrorOperationAborted, 0);
}

bool SocketContext::Disconnect(OVERLAPPED* op)
{
    std::unique_lock lock(m_mutex);
    if (m_bClosed)
        return Fail(kWsaENotSock);
    if (m_pPort == nullptr || m_bDatagram || m_bTearingDown)
        return Fail(kWsaEInval);
    m_pPort->AddRef();
    op->Internal.pPort = m_pPort;
    op->Internal.nKey = m_nKey;
    m_pDisconnect = op;
    TearDownLocked(lock);
    return true;
}

void SocketContext::Close()
{
    std::unique_lock lock(m_mutex);
    if (m_bClosed)
        return;
    m_bClosed = true;
    TearDownLocked(lock);
}

void SocketContext::TearDownLocked(std::unique_lock<std::mutex>& lock)
{
    m_bTearingDown = true;
    for (OperationQueue* q : {&m_readQueue, &m_writeQueue}) {
        OVERLAPPED* op = q->TakeIdle();
        while (op != nullptr) {
            OVERLAPPED* next = op->Internal.pNext;
            AbortLocked(op);
            op = next;
        }
    }
    OVERLAPPED* pendingAccept = std::exchange(m_pPendingAccept, nullptr);
    const SOCKET listenSocket = m_pendingListen;
    if (m_nProcessors == 0)
        FinishTeardownLocked();
    lock.unlock();
    if (pendingAccept != nullptr) {
        if (auto listener = SocketTable::Instance().Find(listenSocket))
            listener->CancelAccept(pendingAccept);
    }
}

void SocketContext::FinishTeardownLocked()
{
    ReleaseDescriptorLocked();
    m_bTearingDown = m_bClosed; // a disconnected socket takes the next connection
    if (OVERLAPPED* op = std::exchange(m_pDisconnect, nullptr))
        CompleteOperation(op, 0, 0);
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
}

} // namespace platform::detail
