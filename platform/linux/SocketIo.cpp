#include "platform/SocketIo.h"

#include "platform/SocketError.h"
#include "platform/linux/CancellablePoll.h"
#include "platform/linux/SocketAddress.h"
#include "platform/linux/SocketDescriptor.h"

#include <cerrno>
#include <sys/socket.h>

namespace platform {

namespace {

using detail::OnDescriptor;

bool FailWithErrno()
{
    SetLastSocketError(WinsockErrorFromErrno(errno));
    return false;
}

bool WaitForRoom(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    while (linux_detail::PollCancellable(&p, 1, -1) < 0) {
        if (errno != EINTR)
            return FailWithErrno();
    }
    return true; // an error on the socket shows in the next send
}

} // namespace

bool SendAll(SOCKET s, const void* data, uint32_t length)
{
    return OnDescriptor(s, [&](int fd) {
        const char* next = static_cast<const char*>(data);
        uint32_t left = length;
        while (left > 0) {
            const ssize_t sent = ::send(fd, next, left, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0) {
                next += sent;
                left -= static_cast<uint32_t>(sent);
            } else if (errno == EAGAIN) {
                if (!WaitForRoom(fd))
                    return false;
            } else if (errno != EINTR) {
                return FailWithErrno();
            }
        }
        return true;
    });
}

bool Receive(SOCKET s, void* buffer, uint32_t capacity, uint32_t* received)
{
    return OnDescriptor(s, [&](int fd) {
        ssize_t n;
        do
            n = ::recv(fd, buffer, capacity, MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            return FailWithErrno();
        *received = static_cast<uint32_t>(n);
        return true;
    });
}

DatagramRead ReceiveFrom(SOCKET s, void* buffer, uint32_t capacity, uint32_t* received, SocketAddressV4* from)
{
    DatagramRead result = DatagramRead::Failed;
    OnDescriptor(s, [&](int fd) {
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        // MSG_TRUNC makes the call return the datagram's real length.
        const ssize_t n = ::recvfrom(fd, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n < 0) {
            // Readiness can be taken away (EAGAIN), or a signal can come first (EINTR).
            result = errno == EAGAIN || errno == EINTR ? DatagramRead::NoDatagram : DatagramRead::Failed;
            return FailWithErrno();
        }
        *from = detail::FromSockaddr(sender);
        if (static_cast<size_t>(n) > capacity) {
            *received = capacity;
            SetLastSocketError(kWsaEMsgSize);
            result = DatagramRead::Truncated;
        } else {
            *received = static_cast<uint32_t>(n);
            result = DatagramRead::Datagram;
        }
        return true;
    });
    return result;
}

} // namespace platform
