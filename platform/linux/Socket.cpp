#include "platform/Socket.h"

#include "platform/SocketError.h"
#include "platform/linux/SocketAddress.h"
#include "platform/linux/SocketContext.h"
#include "platform/linux/SocketDescriptor.h"
#include "platform/linux/SocketTable.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

using detail::LookupSocket;
using detail::OnDescriptor;
using detail::SocketContext;
using detail::SocketTable;

/// Records errno as the last socket error when the call failed.
bool Check(int rc)
{
    if (rc == 0)
        return true;
    SetLastSocketError(WinsockErrorFromErrno(errno));
    return false;
}

template <class T>
bool SetOption(SOCKET s, int level, int name, T value)
{
    return OnDescriptor(s, [&](int fd) { return Check(setsockopt(fd, level, name, &value, sizeof value)); });
}

SOCKET CreateSocket(int type)
{
    const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastSocketError(WinsockErrorFromErrno(errno));
        return INVALID_SOCKET;
    }
    std::shared_ptr<SocketContext> socket;
    try {
        socket = std::make_shared<SocketContext>(fd, type == SOCK_DGRAM);
    } catch (const std::bad_alloc&) {
        close(fd);
        SetLastSocketError(kErrorNotEnoughMemory);
        return INVALID_SOCKET;
    }
    return SocketTable::Instance().Add(socket);
}

int SecondsRoundedUp(uint32_t ms)
{
    return static_cast<int>((static_cast<uint64_t>(ms) + 999) / 1000);
}

} // namespace

bool StartupSockets()
{
    return true;
}

SOCKET CreateTcpSocket()
{
    return CreateSocket(SOCK_STREAM);
}

SOCKET CreateUdpSocket()
{
    return CreateSocket(SOCK_DGRAM);
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
    const sockaddr_in sa = detail::ToSockaddr(local);
    const bool stream = !socket->IsDatagram();
    return socket->WithDescriptor([&](int fd) {
        // A server restarted right after it closed connections finds its port held by them in
        // TIME_WAIT; Linux never lets this option make two listeners share a port.
        const int one = 1;
        if (stream && !Check(setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one)))
            return false;
        return Check(bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
    });
}

bool ListenSocket(SOCKET s)
{
    return OnDescriptor(s, [](int fd) { return Check(listen(fd, SOMAXCONN)); });
}

bool ConnectSocket(SOCKET s, SocketAddressV4 remote)
{
    const sockaddr_in sa = detail::ToSockaddr(remote);
    return OnDescriptor(s, [&](int fd) {
        if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0)
            return true;
        // Winsock reports a non-blocking connect under way as "would block".
        const bool underWay = errno == EINPROGRESS || errno == EINTR;
        SetLastSocketError(underWay ? kWsaEWouldBlock : WinsockErrorFromErrno(errno));
        return false;
    });
}

bool ShutdownSocket(SOCKET s, ShutdownHow how)
{
    const int mode = how == ShutdownHow::Receive ? SHUT_RD : how == ShutdownHow::Send ? SHUT_WR : SHUT_RDWR;
    return OnDescriptor(s, [&](int fd) { return Check(shutdown(fd, mode)); });
}

bool GetSocketPendingError(SOCKET s, int* winsockError)
{
    return OnDescriptor(s, [&](int fd) {
        int err = 0;
        socklen_t length = sizeof err;
        if (!Check(getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length)))
            return false;
        *winsockError = WinsockErrorFromErrno(err);
        return true;
    });
}

bool GetLocalAddress(SOCKET s, SocketAddressV4* local)
{
    return OnDescriptor(s, [&](int fd) {
        sockaddr_in sa{};
        socklen_t length = sizeof sa;
        if (!Check(getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length)))
            return false;
        *local = detail::FromSockaddr(sa);
        return true;
    });
}

bool SetNoDelay(SOCKET s, bool on)
{
    return SetOption(s, IPPROTO_TCP, TCP_NODELAY, int{on});
}

bool SetKeepAlive(SOCKET s, uint32_t idleMs, uint32_t intervalMs)
{
    return SetOption(s, SOL_SOCKET, SO_KEEPALIVE, 1) &&
           SetOption(s, IPPROTO_TCP, TCP_KEEPIDLE, SecondsRoundedUp(idleMs)) &&
           SetOption(s, IPPROTO_TCP, TCP_KEEPINTVL, SecondsRoundedUp(intervalMs));
}

bool SetReuseAddress(SOCKET s, bool on)
{
    return SetOption(s, SOL_SOCKET, SO_REUSEADDR, int{on});
}

bool SetReceiveBufferSize(SOCKET s, uint32_t bytes)
{
    const int size = static_cast<int>(std::min<uint32_t>(bytes, INT_MAX));
    // The forcing variant passes net.core.rmem_max but needs CAP_NET_ADMIN.
    return SetOption(s, SOL_SOCKET, SO_RCVBUFFORCE, size) || SetOption(s, SOL_SOCKET, SO_RCVBUF, size);
}

bool SetConnectTimeout(SOCKET s, uint32_t ms)
{
    // The SYN is sent again after 1, 2, 4... seconds; n retries give up after 2^(n+1) - 1 s.
    int retries = 1;
    while (retries < 30 && (uint64_t{2} << (retries + 1)) - 1 <= ms / 1000)
        ++retries;
    return SetOption(s, IPPROTO_TCP, TCP_SYNCNT, retries);
}

bool SetMulticastInterface(SOCKET s, uint32_t interfaceAddress)
{
    return SetOption(s, IPPROTO_IP, IP_MULTICAST_IF, in_addr{interfaceAddress});
}

bool SetMulticastAll(SOCKET s, bool on)
{
    return SetOption(s, IPPROTO_IP, IP_MULTICAST_ALL, int{on});
}

bool JoinMulticastGroup(SOCKET s, uint32_t group, uint32_t source, uint32_t interfaceAddress)
{
    ip_mreq_source sourced{};
    sourced.imr_multiaddr.s_addr = group;
    sourced.imr_sourceaddr.s_addr = source;
    sourced.imr_interface.s_addr = interfaceAddress;
    if (SetOption(s, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, sourced))
        return true;
    if (GetLastSocketError() != kWsaENoProtoOpt)
        return false;
    ip_mreq plain{};
    plain.imr_multiaddr.s_addr = group;
    plain.imr_interface.s_addr = interfaceAddress;
    return SetOption(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, plain);
}

bool GetInterfaceFacing(uint32_t remote, uint32_t* interfaceAddress)
{
    // Connecting a UDP socket sends nothing; it only picks the route and the local address.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Check(-1);
    const sockaddr_in to = detail::ToSockaddr({remote, 9});
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool ok = Check(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to)) &&
                    Check(getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length));
    close(fd);
    if (ok)
        *interfaceAddress = local.sin_addr.s_addr;
    return ok;
}

bool GetMaxMessageSize(SOCKET s, uint32_t* size)
{
    auto socket = SocketTable::Instance().Find(s);
    if (!socket || !socket->IsDatagram()) {
        SetLastSocketError(socket ? kWsaENoProtoOpt : kWsaENotSock);
        return false;
    }
    *size = kMaxUdpMessageSize;
    return true;
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
