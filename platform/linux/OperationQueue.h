#pragma once
// The operations of one direction of a socket (read side: receive or accepts; write side:
// sends), first in, first out, with the state of their processing:
//   Ready      nothing queued and nobody performing
//   Waiting    queued; the front operation would block and waits for a readiness event
//   Processing one thread (a starter or the reactor) performs the front operation with the
//              socket's lock released; only it may pop the front
// Guarded by the owning socket's lock.

#include "platform/Overlapped.h"

namespace platform::detail {

enum class QueueState { Ready, Waiting, Processing };

class OperationQueue {
public:
    bool Empty() const { return m_pHead == nullptr; }
    OVERLAPPED* Front() const { return m_pHead; }
    QueueState GetState() const { return m_state; }
    void SetState(QueueState state) { m_state = state; }

    void Push(OVERLAPPED* op);
    OVERLAPPED* PopFront();
    /// Unlinks the operation unless it is absent or a thread is performing it.
    bool Remove(OVERLAPPED* op);
    /// Unlinks every operation that nobody is performing and returns them as a list chained
    /// through Internal.pNext, oldest first.
    OVERLAPPED* TakeIdle();

private:
    OVERLAPPED* m_pHead = nullptr;
    OVERLAPPED* m_pTail = nullptr;
    QueueState m_state = QueueState::Ready;
};

} // namespace platform::detail
