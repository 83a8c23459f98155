#include "platform/win32/OperationList.h"

#include "platform/SocketError.h"
#include "platform/win32/Operations.h"
#include "platform/win32/SocketContext.h"
#include "platform/win32/Winsock.h"

namespace platform::detail {

namespace {

// How long a close waits between looks at operations the system still completes.
constexpr DWORD kSettlePollMs = 1;

bool Concerns(const OVERLAPPED* op, const SocketContext* socket)
{
    return op->Internal.pSocket == socket || op->Internal.pListener == socket;
}

} // namespace

OperationList& OperationList::Instance()
{
    static OperationList* const list = new OperationList;
    return *list;
}

void OperationList::Add(OVERLAPPED* op)
{
    std::lock_guard lock(m_mutex);
    op->Internal.pPrev = nullptr;
    op->Internal.pNext = m_pHead;
    if (m_pHead != nullptr)
        m_pHead->Internal.pPrev = op;
    m_pHead = op;
    op->Internal.bListed = true;
}

void OperationList::Remove(OVERLAPPED* op)
{
    std::lock_guard lock(m_mutex);
    UnlinkLocked(op);
}

void OperationList::UnlinkLocked(OVERLAPPED* op)
{
    OperationState& state = op->Internal;
    if (!state.bListed)
        return;
    if (state.pPrev != nullptr)
        state.pPrev->Internal.pNext = state.pNext;
    else
        m_pHead = state.pNext;
    if (state.pNext != nullptr)
        state.pNext->Internal.pPrev = state.pPrev;
    state.pPrev = state.pNext = nullptr;
    state.pSocket = state.pListener = nullptr;
    state.bListed = false;
}

void OperationList::CancelAccepts(const SocketContext* acceptor)
{
    std::lock_guard lock(m_mutex);
    for (OVERLAPPED* op = m_pHead; op != nullptr; op = op->Internal.pNext) {
        if (op->Internal.pSocket == acceptor && KindOf(*op) == OperationKind::Accept)
            ::CancelIoEx(reinterpret_cast<HANDLE>(op->Internal.nListenSocket), SystemOverlapped(op));
    }
}

bool OperationList::HoldsAny(const SocketContext* socket)
{
    for (OVERLAPPED* op = m_pHead; op != nullptr; op = op->Internal.pNext) {
        if (Concerns(op, socket) && SystemHolds(op))
            return true;
    }
    return false;
}

void OperationList::Settle(SocketContext* socket)
{
    std::unique_lock lock(m_mutex);
    while (HoldsAny(socket)) {
        lock.unlock();
        ::Sleep(kSettlePollMs);
        lock.lock();
    }
    OVERLAPPED* next = nullptr;
    for (OVERLAPPED* op = m_pHead; op != nullptr; op = next) {
        next = op->Internal.pNext;
        OperationState& state = op->Internal;
        if (!Concerns(op, socket))
            continue;
        if (SystemOverlapped(op)->Internal != 0 && state.nEnding == static_cast<uint8_t>(EngineEnding::System))
            state.nEnding = static_cast<uint8_t>(EngineEnding::Aborted);
        if ((KindOf(*op) == OperationKind::Receive || KindOf(*op) == OperationKind::Accept) && state.pSocket == socket)
            state.pSocket->OnReceiveDone();
        if (state.pListener == socket && state.pSocket != socket) {
            state.pListener = nullptr; // its accepting socket still waits for its packet
            continue;
        }
        UnlinkLocked(op);
    }
}

void OperationList::Finish(OVERLAPPED* op, uint32_t systemError, uint32_t bytes)
{
    std::lock_guard lock(m_mutex);
    OperationState& state = op->Internal;
    uint32_t result = systemError == 0 ? 0 : static_cast<uint32_t>(win32::SocketErrorFromSystem(systemError));
    switch (static_cast<EngineEnding>(state.nEnding)) {
    case EngineEnding::Posted:
        result = state.nEngineResult;
        break;
    case EngineEnding::Aborted:
        result = kErrorOperationAborted;
        bytes = 0;
        break;
    case EngineEnding::System:
        break;
    }
    if (result == 0 && KindOf(*op) == OperationKind::Accept) {
        // What the accepted socket needs before its addresses and shutdown work.
        const auto listener = static_cast<::SOCKET>(state.nListenSocket);
        ::setsockopt(static_cast<::SOCKET>(state.nAcceptSocket), SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                     reinterpret_cast<const char*>(&listener), sizeof listener);
        if (state.pSocket != nullptr)
            state.pSocket->OnAccepted();
    }
    if ((KindOf(*op) == OperationKind::Receive || KindOf(*op) == OperationKind::Accept) && state.pSocket != nullptr)
        state.pSocket->OnReceiveDone();
    op->nResult = result;
    op->nBytes = bytes;
    UnlinkLocked(op);
}

} // namespace platform::detail
