#include "platform/linux/OperationQueue.h"

namespace platform::detail {

void OperationQueue::Push(OVERLAPPED* op)
{
    op->Internal.pNext = nullptr;
    if (m_pTail != nullptr)
        m_pTail->Internal.pNext = op;
    else
        m_pHead = op;
    m_pTail = op;
}

OVERLAPPED* OperationQueue::PopFront()
{
    OVERLAPPED* op = m_pHead;
    m_pHead = op->Internal.pNext;
    if (m_pHead == nullptr)
        m_pTail = nullptr;
    op->Internal.pNext = nullptr;
    return op;
}

bool OperationQueue::Remove(OVERLAPPED* op)
{
    OVERLAPPED* prev = nullptr;
    for (OVERLAPPED* it = m_pHead; it != nullptr; prev = it, it = it->Internal.pNext) {
        if (it != op)
            continue;
        (prev != nullptr ? prev->Internal.pNext : m_pHead) = it->Internal.pNext;
        if (m_pTail == it)
            m_pTail = prev;
        it->Internal.pNext = nullptr;
        if (m_pHead == nullptr && m_state == QueueState::Waiting)
            m_state = QueueState::Ready;
        return true;
    }
    return false;
}

OVERLAPPED* OperationQueue::TakeIdle()
{
    if (m_state != QueueState::Processing || m_pHead == nullptr)
        return TakeAll();
    OVERLAPPED* rest = m_pHead->Internal.pNext;
    m_pHead->Internal.pNext = nullptr;
    m_pTail = m_pHead;
    return rest;
}

OVERLAPPED* OperationQueue::TakeAll()
{
    OVERLAPPED* all = m_pHead;
    m_pHead = m_pTail = nullptr;
    if (m_state == QueueState::Waiting)
        m_state = QueueState::Ready;
    return all;
}

} // namespace platform::detail
