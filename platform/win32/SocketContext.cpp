#include "platform/win32/SocketContext.h"

#include "platform/SocketError.h"
#include "platform/win32/NativeSocket.h"
#include "platform/win32/SocketAddress.h"
#include "platform/win32/OperationList.h"
#include "platform/win32/Operations.h"
#include "platform/win32/PortCore.h"
#include "platform/win32/Winsock.h"

namespace platform::detail {

namespace {

using win32::ToSockaddr;

// A peer that does not answer the end of its connection is not waited for longer: the system
// socket is closed and replaced instead of reused.
constexpr DWORD kDisconnectPatienceMs = 2000;

bool Fail(int winsockError)
{
    SetLastSocketError(winsockError);
    return false;
}

void Prepare(OVERLAPPED* op, OperationKind kind, uintptr_t key)
{
    op->Internal = {};
    op->Internal.nKind = static_cast<uint8_t>(kind);
    op->Internal.nKey = key;
}

// A disconnect whose system socket can take the next accept; false when it cannot.
bool DisconnectForReuse(::SOCKET native)
{
    const win32::Extensions& extensions = win32::GetExtensions(native);
    const LPFN_DISCONNECTEX disconnectEx = extensions.disconnectEx;
    if (disconnectEx == nullptr || !extensions.reuseAfterDisconnect)
        return false;
    const HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr)
        return false;
    ::OVERLAPPED call{};
    // The low bit keeps this completion out of the port: the caller's packet is queued apart.
    call.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(done) | 1);
    bool reused = disconnectEx(native, &call, TF_REUSE_SOCKET, 0) != FALSE;
    if (!reused && ::WSAGetLastError() == WSA_IO_PENDING) {
        if (::WaitForSingleObject(done, kDisconnectPatienceMs) != WAIT_OBJECT_0) {
            ::CancelIoEx(reinterpret_cast<HANDLE>(native), &call);
            ::WaitForSingleObject(done, INFINITE);
        }
        DWORD bytes = 0;
        DWORD flags = 0;
        reused = ::WSAGetOverlappedResult(native, &call, &bytes, FALSE, &flags) != FALSE;
    }
    ::CloseHandle(done);
    return reused;
}

} // namespace

SocketContext::SocketContext(::SOCKET native, bool datagram) : m_bDatagram(datagram), m_native(native) {}

SocketContext::~SocketContext()
{
    if (m_native != win32::kNoNativeSocket)
        ::closesocket(m_native);
    if (m_pPort != nullptr)
        m_pPort->Release();
}

int32_t SocketContext::GetConnectTime()
{
    std::lock_guard lock(m_mutex);
    if (!m_bAccepting || m_native == win32::kNoNativeSocket)
        return -1;
    DWORD seconds = 0xFFFFFFFF;
    int length = sizeof seconds;
    if (::getsockopt(m_native, SOL_SOCKET, SO_CONNECT_TIME, reinterpret_cast<char*>(&seconds), &length) != 0)
        return -1;
    return seconds == 0xFFFFFFFF ? -1 : static_cast<int32_t>(seconds);
}

bool SocketContext::Associate(PortCore* port, uintptr_t key)
{
    std::lock_guard lock(m_mutex);
    if (m_bClosed)
        return Fail(kWsaENotSock);
    if (m_pPort != nullptr)
        return Fail(kWsaEInval);
    if (m_native != win32::kNoNativeSocket && !port->Associate(m_native))
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
    if (m_bTearingDown || m_native == win32::kNoNativeSocket || m_bNoConnection.load(std::memory_order_acquire))
        return Fail(kWsaENotConn);
    return true;
}

template <class Call>
bool SocketContext::IssueLocked(OVERLAPPED* op, Call&& call)
{
    op->Internal.pSocket = this;
    OperationList::Instance().Add(op);
    const int error = call(SystemOverlapped(op));
    if (error == 0 || error == WSA_IO_PENDING)
        return true;
    // The system queues no packet for a call that failed at once.
    OperationList::Instance().Remove(op);
    return PostLocked(op, static_cast<uint32_t>(win32::SocketErrorFromSystem(static_cast<DWORD>(error))));
}

bool SocketContext::PostLocked(OVERLAPPED* op, uint32_t result)
{
    return m_pPort->PostOperation(op, result);
}

bool SocketContext::StartReceive(OVERLAPPED* op, void* buffer, uint32_t length)
{
    std::lock_guard lock(m_mutex);
    if (!CanStartLocked())
        return false;
    if (m_bReceiving.exchange(true, std::memory_order_acq_rel))
        return Fail(kWsaEInval);
    Prepare(op, OperationKind::Receive, m_nKey);
    const bool started = IssueLocked(op, [&](::OVERLAPPED* call) {
        WSABUF part{length, static_cast<char*>(buffer)};
        DWORD* flags = reinterpret_cast<DWORD*>(&op->Internal.nFlags);
        return ::WSARecv(m_native, &part, 1, nullptr, flags, call, nullptr) == 0 ? 0 : ::WSAGetLastError();
    });
    // A receive the engine completed itself is over already.
    if (!started || !op->Internal.bListed)
        m_bReceiving.store(false, std::memory_order_release);
    return started;
}

bool SocketContext::StartSend(OVERLAPPED* op, const void* buffer, uint32_t length)
{
    std::lock_guard lock(m_mutex);
    if (!CanStartLocked())
        return false;
    Prepare(op, OperationKind::Send, m_nKey);
    return IssueLocked(op, [&](::OVERLAPPED* call) {
        // The system copies the buffer list at the call; only the bytes must stay.
        WSABUF part{length, static_cast<char*>(const_cast<void*>(buffer))};
        return ::WSASend(m_native, &part, 1, nullptr, 0, call, nullptr) == 0 ? 0 : ::WSAGetLastError();
    });
}

bool SocketContext::StartSendTo(OVERLAPPED* op, const void* buffer, uint32_t length, SocketAddressV4 destination)
{
    std::lock_guard lock(m_mutex);
    if (!CanStartLocked())
        return false;
    Prepare(op, OperationKind::SendTo, m_nKey);
    return IssueLocked(op, [&](::OVERLAPPED* call) {
        WSABUF part{length, static_cast<char*>(const_cast<void*>(buffer))};
        const sockaddr_in to = ToSockaddr(destination);
        return ::WSASendTo(m_native, &part, 1, nullptr, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to, call,
                           nullptr) == 0
                   ? 0
                   : ::WSAGetLastError();
    });
}

bool SocketContext::StartAccept(SocketContext& acceptor, OVERLAPPED* op, void* buffer, uint32_t receiveLength,
                                uint32_t addressArea)
{
    // Lock order: the listening socket's, then the accepting socket's.
    std::lock_guard lock(m_mutex);
    if (!CanStartLocked())
        return false;
    std::lock_guard acceptorLock(acceptor.m_mutex);
    if (acceptor.m_bClosed)
        return Fail(kWsaENotSock);
    if (acceptor.m_pPort == nullptr)
        return Fail(kWsaEInval);
    if (acceptor.m_bTearingDown || acceptor.m_native == win32::kNoNativeSocket)
        return Fail(kWsaENotConn);
    // One read-side operation per socket: an accept into it counts as its receive.
    if (acceptor.m_bReceiving.exchange(true, std::memory_order_acq_rel))
        return Fail(kWsaEInval);
    const LPFN_ACCEPTEX acceptEx = win32::GetExtensions(m_native).acceptEx;
    if (acceptEx == nullptr)
        return Fail(kWsaEInval);
    Prepare(op, OperationKind::Accept, m_nKey);
    op->Internal.pListener = this;
    op->Internal.nAcceptSocket = acceptor.m_native;
    op->Internal.nListenSocket = m_native;
    acceptor.m_bAccepting = true;
    // Listed for the accepting socket, whose close must wait for it; the listener's close
    // finds it through pListener.
    op->Internal.pSocket = &acceptor;
    OperationList::Instance().Add(op);
    DWORD bytes = 0;
    if (acceptEx(m_native, acceptor.m_native, buffer, receiveLength, addressArea, addressArea, &bytes,
                 SystemOverlapped(op)) ||
        ::WSAGetLastError() == ERROR_IO_PENDING)
        return true;
    const int error = ::WSAGetLastError();
    OperationList::Instance().Remove(op);
    acceptor.m_bReceiving.store(false, std::memory_order_release);
    return PostLocked(op, static_cast<uint32_t>(win32::SocketErrorFromSystem(static_cast<DWORD>(error))));
}

void SocketContext::BeginTearDownLocked()
{
    if (m_native != win32::kNoNativeSocket)
        ::CancelIoEx(reinterpret_cast<HANDLE>(m_native), nullptr);
    OperationList::Instance().CancelAccepts(this);
}

bool SocketContext::Disconnect(OVERLAPPED* op)
{
    ::SOCKET native = win32::kNoNativeSocket;
    {
        std::lock_guard lock(m_mutex);
        if (!CanStartLocked())
            return false;
        m_bTearingDown = true;
        native = m_native;
        BeginTearDownLocked();
    }
    OperationList::Instance().Settle(this);
    const bool reused = DisconnectForReuse(native);
    std::lock_guard lock(m_mutex);
    if (!reused && !m_bClosed)
        ReplaceNative(native); // a close meanwhile closes the old one itself
    m_bAccepting = false;
    m_bNoConnection.store(true, std::memory_order_release);
    m_bTearingDown = false;
    m_cvChanged.notify_all();
    Prepare(op, OperationKind::Disconnect, m_nKey);
    return PostLocked(op, m_bClosed ? kErrorOperationAborted : 0);
}

// A system socket that could not be reused is closed; a new one takes its place, or none when
// the system has none to give, which later operations report as 10057.
void SocketContext::ReplaceNative(::SOCKET native)
{
    ::closesocket(native);
    m_native = win32::CreateNativeSocket(m_bDatagram);
    if (m_native != win32::kNoNativeSocket && !m_pPort->Associate(m_native)) {
        ::closesocket(m_native);
        m_native = win32::kNoNativeSocket;
    }
}

void SocketContext::Close()
{
    {
        std::unique_lock lock(m_mutex);
        m_bClosed = true;
        m_cvChanged.wait(lock, [this] { return !m_bTearingDown; });
        BeginTearDownLocked();
        if (m_native != win32::kNoNativeSocket)
            ::closesocket(m_native);
        m_native = win32::kNoNativeSocket;
    }
    OperationList::Instance().Settle(this);
    std::lock_guard lock(m_mutex);
    m_bCloseDone = true;
    m_cvChanged.notify_all();
}

void SocketContext::WaitClosed()
{
    std::unique_lock lock(m_mutex);
    m_cvChanged.wait(lock, [this] { return m_bCloseDone; });
}

} // namespace platform::detail
