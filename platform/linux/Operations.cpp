#include "platform/linux/Operations.h"

#include "platform/SocketError.h"
#include "platform/linux/PortCore.h"
#include "platform/linux/SocketAddress.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace platform::detail {

namespace {

Attempt Finished(uint32_t bytes)
{
    Attempt attempt;
    attempt.bytes = bytes;
    return attempt;
}

Attempt Failed(int winsockError)
{
    Attempt attempt;
    attempt.result = static_cast<uint32_t>(winsockError);
    return attempt;
}

Attempt FailedOrBlocked(int err)
{
    if (err != EAGAIN)
        return Failed(WinsockErrorFromErrno(err));
    Attempt attempt;
    attempt.status = Attempt::WouldBlock;
    return attempt;
}

Attempt Receive(OVERLAPPED& op, int fd)
{
    if (op.Internal.nLength == 0)
        return Finished(0);
    for (;;) {
        const ssize_t n = recv(fd, op.Internal.pBuffer, op.Internal.nLength, 0);
        if (n >= 0)
            return Finished(static_cast<uint32_t>(n));
        if (errno != EINTR)
            return FailedOrBlocked(errno);
    }
}

Attempt Send(OVERLAPPED& op, int fd)
{
    OperationState& st = op.Internal;
    while (st.nDone < st.nLength) {
        const ssize_t n = send(fd, st.pBuffer + st.nDone, st.nLength - st.nDone, MSG_NOSIGNAL);
        if (n > 0)
            st.nDone += static_cast<uint32_t>(n);
        else if (errno != EINTR)
            return FailedOrBlocked(errno); // a partial send keeps its progress in nDone
    }
    return Finished(st.nLength);
}

Attempt SendTo(OVERLAPPED& op, int fd)
{
    const sockaddr_in to = ToSockaddr(op.Internal.address);
    for (;;) {
        const ssize_t n = sendto(fd, op.Internal.pBuffer, op.Internal.nLength, MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n >= 0)
            return Finished(static_cast<uint32_t>(n));
        if (errno != EINTR)
            return FailedOrBlocked(errno);
    }
}

// Errors of a connection that went away before it was taken, or of its network: none is a
// failure of the accept, which takes the next connection instead.
bool PeerGone(int err)
{
    switch (err) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH: return true;
    default: return false;
    }
}

} // namespace

Attempt PerformOperation(OVERLAPPED& op, int fd)
{
    switch (KindOf(op)) {
    case OperationKind::Receive:
    case OperationKind::AcceptData: return Receive(op, fd);
    case OperationKind::Send: return Send(op, fd);
    case OperationKind::SendTo: return SendTo(op, fd);
    case OperationKind::Accept: break; // the listener takes connections with AcceptConnection
    }
    return Failed(kWsaEInval);
}

Attempt AcceptConnection(int fd)
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const int conn = accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (conn < 0) {
            const int err = errno;
            if (PeerGone(err))
                continue;
            // The connection stays in the backlog until a descriptor is free again.
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
                Attempt attempt;
                attempt.status = Attempt::NoDescriptor;
                return attempt;
            }
            return FailedOrBlocked(err);
        }
        sockaddr_in local{};
        socklen_t localLength = sizeof local;
        getsockname(conn, reinterpret_cast<sockaddr*>(&local), &localLength);
        Attempt attempt;
        attempt.status = Attempt::Accepted;
        attempt.acceptedFd = conn;
        attempt.local = FromSockaddr(local);
        attempt.peer = FromSockaddr(peer);
        return attempt;
    }
}

void StoreAcceptAddresses(OVERLAPPED& op, const SocketAddressV4& local, const SocketAddressV4& peer)
{
    uint8_t* area = op.Internal.pBuffer + op.Internal.nLength;
    std::memcpy(area, &local, sizeof local);
    std::memcpy(area + op.Internal.nAddressArea, &peer, sizeof peer);
}

void CompleteOperation(OVERLAPPED* op, uint32_t result, uint32_t bytes)
{
    PortCore* port = op->Internal.pPort;
    op->Internal.pPort = nullptr;
    op->nResult = result;
    op->nBytes = bytes;
    port->GetQueue().PostCompletion(op); // from here on a worker may own and reuse op
    port->Release();
}

} // namespace platform::detail
