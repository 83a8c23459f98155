#include "platform/SocketIo.h"

#include "platform/Clock.h"
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

// False with the last socket error set when the wait gave up or failed.
bool WaitForRoom(int fd, WaitObject* interrupt, uint32_t stallMs, uint64_t lastProgressMs)
{
    pollfd p[2] = {{fd, POLLOUT, 0}, {interrupt != nullptr ? interrupt->GetDescriptor() : -1, POLLIN, 0}};
    for (;;) {
        int timeoutMs = -1;
        if (stallMs != kInfinite) {
            const uint64_t waited = GetTickCount64() - lastProgressMs;
            if (waited >= stallMs) {
                SetLastSocketError(kWsaETimedOut);
                return false;
            }
            timeoutMs = static_cast<int>(stallMs - waited);
        }
        const int ready = linux_detail::PollCancellable(p, 2, timeoutMs);
        if (ready < 0 && errno != EINTR)
            return FailWithErrno();
        if (ready > 0 && p[1].revents != 0) {
            SetLastSocketError(kWsaEIntr);
            return false;
        }
        if (ready > 0)
            return true; // an error on the socket shows in the next send
    }
}

} // namespace

bool SendAll(SOCKET s, const void* data, uint32_t length, WaitObject* interrupt, uint32_t stallMs)
{
    return OnDescriptor(s, [&](int fd) {
        const char* next = static_cast<const char*>(data);
        uint32_t left = length;
        uint64_t lastProgressMs = stallMs != kInfinite ? GetTickCount64() : 0;
        while (left > 0) {
            const ssize_t sent = ::send(fd, next, left, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                next += sent;
                left -= static_cast<uint32_t>(sent);
                if (stallMs != kInfinite)
                    lastProgressMs = GetTickCount64();
            } else if (sent == 0 || errno == EAGAIN) {
                if (!WaitForRoom(fd, interrupt, stallMs, lastProgressMs))
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
