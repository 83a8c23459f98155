#pragma once
// The operations of one direction of a socket (read side: a receive; write side: sends; a
// listener's accepts), first in, first out, with the state of their processing:
//   Ready      nothing queued and nobody performing
//   Waiting    queued; the front operation would block and waits for a readiness event
//   Processing one thread (a starter or the reactor) performs the front operation with the
//              socket's lock released; only it may pop the front of a receive or send queue
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
    /// Unlinks the operation; false when it is not queued. For queues whose processor keeps
    /// no operation of its own (a listener's accepts).
    bool Remove(OVERLAPPED* op);
    /// Unlinks every operation that nobody is performing and returns them as a list chained
    /// through Internal.pNext, oldest first.
    OVERLAPPED* TakeIdle();
    /// Unlinks every operation and returns them as TakeIdle does.
    OVERLAPPED* TakeAll();

private:
    OVERLAPPED* m_pHead = nullptr;
    OVERLAPPED* m_pTail = nullptr;
    QueueState m_state = QueueState::Ready;
};

} // namespace platform::detail
