#include "platform/Socket.h"

#include "platform/SocketError.h"
#include "platform/win32/NativeSocket.h"
#include "platform/win32/SocketAddress.h"
#include "platform/win32/SocketLookup.h"
#include "platform/win32/Winsock.h"

#include <algorithm>
#include <climits>
#include <mstcpip.h>
#include <new>

namespace platform {

namespace {

using win32::ToSockaddr;

using detail::LookupSocket;
using detail::OnNative;
using detail::SocketContext;
using detail::SocketTable;

/// Records the Winsock error as the last socket error when the call failed.
bool Check(int rc)
{
    return rc == 0 || win32::FailWithWinsockError();
}

template <class T>
bool SetOption(SOCKET s, int level, int name, T value)
{
    return OnNative(s, [&](::SOCKET native) {
        return Check(::setsockopt(native, level, name, reinterpret_cast<const char*>(&value), sizeof value));
    });
}

SOCKET CreateSocket(bool datagram)
{
    const ::SOCKET native = win32::CreateNativeSocket(datagram);
    if (native == win32::kNoNativeSocket)
        return INVALID_SOCKET;
    std::shared_ptr<SocketContext> socket;
    try {
        socket = std::make_shared<SocketContext>(native, datagram);
    } catch (const std::bad_alloc&) {
        ::closesocket(native);
        SetLastSocketError(kErrorNotEnoughMemory);
        return INVALID_SOCKET;
    }
    return SocketTable::Instance().Add(socket);
}

} // namespace

bool StartupSockets()
{
    return win32::EnsureWinsock();
}

SOCKET CreateTcpSocket()
{
    return CreateSocket(false);
}

SOCKET CreateUdpSocket()
{
    return CreateSocket(true);
}

bool CloseSocket(SOCKET s)
{
    SocketTable& table = SocketTable::Instance();
    auto socket = table.Remove(s);
    if (!socket) {
        if (auto closing = table.FindClosing(s))
            closing->WaitClosed(); // another thread closes it: return once that close is done
        SetLastSocketError(kWsaENotSock);
        return false;
    }
    socket->Close();
    table.EndClose(s);
    return true;
}

bool BindSocket(SOCKET s, SocketAddressV4 local)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return false;
    const sockaddr_in sa = ToSockaddr(local);
    const bool stream = !socket->IsDatagram();
    return socket->WithNative([&](::SOCKET native) {
        // Connections left by a listener never keep a new one from binding on Windows; the
        // option keeps any other socket from sharing the port, as Linux never lets one.
        const BOOL exclusive = TRUE;
        if (stream && !Check(::setsockopt(native, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                                          reinterpret_cast<const char*>(&exclusive), sizeof exclusive)))
            return false;
        return Check(::bind(native, reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
    });
}

bool ListenSocket(SOCKET s)
{
    return OnNative(s, [](::SOCKET native) { return Check(::listen(native, SOMAXCONN)); });
}

bool ConnectSocket(SOCKET s, SocketAddressV4 remote)
{
    const sockaddr_in sa = ToSockaddr(remote);
    // A connect under way fails with 10035, as Winsock reports it on a non-blocking socket.
    return OnNative(s, [&](::SOCKET native) {
        return Check(::connect(native, reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
    });
}

bool ShutdownSocket(SOCKET s, ShutdownHow how)
{
    const int mode = how == ShutdownHow::Receive ? SD_RECEIVE : how == ShutdownHow::Send ? SD_SEND : SD_BOTH;
    return OnNative(s, [&](::SOCKET native) { return Check(::shutdown(native, mode)); });
}

bool GetSocketPendingError(SOCKET s, int* winsockError)
{
    return OnNative(s, [&](::SOCKET native) {
        int error = 0;
        int length = sizeof error;
        if (!Check(::getsockopt(native, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length)))
            return false;
        *winsockError = error;
        return true;
    });
}

bool GetLocalAddress(SOCKET s, SocketAddressV4* local)
{
    return OnNative(s, [&](::SOCKET native) {
        sockaddr_in sa{};
        int length = sizeof sa;
        if (!Check(::getsockname(native, reinterpret_cast<sockaddr*>(&sa), &length)))
            return false;
        *local = win32::FromSockaddr(sa);
        return true;
    });
}

bool SetNoDelay(SOCKET s, bool on)
{
    return SetOption(s, IPPROTO_TCP, TCP_NODELAY, BOOL{on});
}

bool SetKeepAlive(SOCKET s, uint32_t idleMs, uint32_t intervalMs)
{
    // Whole seconds, as on Linux, so that both send their probes at the same times.
    const auto roundUp = [](uint32_t ms) { return static_cast<ULONG>((uint64_t{ms} + 999) / 1000 * 1000); };
    tcp_keepalive settings{1, roundUp(idleMs), roundUp(intervalMs)};
    return OnNative(s, [&](::SOCKET native) {
        DWORD bytes = 0;
        return Check(::WSAIoctl(native, SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0, &bytes, nullptr,
                                nullptr));
    });
}

bool SetReuseAddress(SOCKET s, bool on)
{
    return SetOption(s, SOL_SOCKET, SO_REUSEADDR, BOOL{on});
}

bool SetReceiveBufferSize(SOCKET s, uint32_t bytes)
{
    return SetOption(s, SOL_SOCKET, SO_RCVBUF, static_cast<int>(std::min<uint32_t>(bytes, INT_MAX)));
}

bool SetConnectTimeout(SOCKET s, uint32_t ms)
{
    // As on Linux: the SYN is sent again after 1, 2, 4... seconds; n retries give up after
    // 2^(n+1) - 1 s.
    UCHAR retries = 1;
    while (retries < 30 && (uint64_t{2} << (retries + 1)) - 1 <= ms / 1000)
        ++retries;
    TCP_INITIAL_RTO_PARAMETERS settings{1000, retries};
    return OnNative(s, [&](::SOCKET native) {
        DWORD bytes = 0;
        return Check(::WSAIoctl(native, SIO_TCP_INITIAL_RTO, &settings, sizeof settings, nullptr, 0, &bytes,
                                nullptr, nullptr));
    });
}

bool SetMulticastInterface(SOCKET s, uint32_t interfaceAddress)
{
    return SetOption(s, IPPROTO_IP, IP_MULTICAST_IF, interfaceAddress);
}

bool SetMulticastAll(SOCKET s, bool on)
{
    // Winsock delivers only the groups the socket joined itself; there is nothing to switch.
    auto socket = LookupSocket(s);
    if (!socket)
        return false;
    if (on) {
        SetLastSocketError(kWsaENoProtoOpt);
        return false;
    }
    return true;
}

bool JoinMulticastGroup(SOCKET s, uint32_t group, uint32_t source, uint32_t interfaceAddress)
{
    ip_mreq_source sourced{};
    sourced.imr_multiaddr.s_addr = group;
    sourced.imr_sourceaddr.s_addr = source;
    sourced.imr_interface.s_addr = interfaceAddress;
    if (SetOption(s, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, sourced))
        return true;
    if (GetLastSocketError() != kWsaENoProtoOpt && GetLastSocketError() != kWsaEInval)
        return false;
    ip_mreq plain{};
    plain.imr_multiaddr.s_addr = group;
    plain.imr_interface.s_addr = interfaceAddress;
    return SetOption(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, plain);
}

bool GetInterfaceFacing(uint32_t remote, uint32_t* interfaceAddress)
{
    // Connecting a UDP socket sends nothing; it only picks the route and the local address.
    const ::SOCKET native = win32::CreateNativeSocket(true);
    if (native == win32::kNoNativeSocket)
        return false;
    const sockaddr_in to = ToSockaddr({remote, 9});
    sockaddr_in local{};
    int length = sizeof local;
    const bool ok = Check(::connect(native, reinterpret_cast<const sockaddr*>(&to), sizeof to)) &&
                    Check(::getsockname(native, reinterpret_cast<sockaddr*>(&local), &length));
    ::closesocket(native);
    if (ok)
        *interfaceAddress = local.sin_addr.s_addr;
    return ok;
}

bool GetMaxMessageSize(SOCKET s, uint32_t* size)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return false;
    if (!socket->IsDatagram()) {
        SetLastSocketError(kWsaENoProtoOpt);
        return false;
    }
    return socket->WithNative([&](::SOCKET native) {
        unsigned int largest = 0;
        int length = sizeof largest;
        if (!Check(::getsockopt(native, SOL_SOCKET, SO_MAX_MSG_SIZE, reinterpret_cast<char*>(&largest), &length)))
            return false;
        *size = largest;
        return true;
    });
}

bool GetConnectTime(SOCKET s, int32_t* seconds)
{
    auto socket = LookupSocket(s);
    if (!socket)
        return false;
    *seconds = socket->GetConnectTime();
    return true;
}

} // namespace platform
