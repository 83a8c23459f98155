#include "platform/SocketIo.h"

#include "platform/Clock.h"
#include "platform/SocketError.h"
#include "platform/win32/SocketAddress.h"
#include "platform/win32/SocketLookup.h"
#include "platform/win32/ThreadTermination.h"
#include "platform/win32/WaitHandle.h"
#include "platform/win32/Winsock.h"

#include <algorithm>

namespace platform {

namespace {

using detail::OnNative;

// The room to send is watched with select, which cannot watch a wait object or the thread's
// request to end beside it; both are looked at between slices of this length.
constexpr uint32_t kRoomSliceMs = 20;

bool RoomToSend(::SOCKET native, uint32_t waitMs)
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(native, &writable);
    fd_set failed = writable;
    timeval limit{static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
    return ::select(0, nullptr, &writable, &failed, &limit) > 0;
}

// False with the last socket error set when the wait gave up.
bool WaitForRoom(::SOCKET native, WaitObject* interrupt, uint32_t stallMs, uint64_t lastProgressMs)
{
    for (;;) {
        win32::EndThreadIfTerminated();
        if (interrupt != nullptr && ::WaitForSingleObject(win32::HandleOf(*interrupt), 0) == WAIT_OBJECT_0) {
            SetLastSocketError(kWsaEIntr);
            return false;
        }
        uint32_t slice = kRoomSliceMs;
        if (stallMs != kInfinite) {
            const uint64_t waited = GetTickCount64() - lastProgressMs;
            if (waited >= stallMs) {
                SetLastSocketError(kWsaETimedOut);
                return false;
            }
            slice = static_cast<uint32_t>(std::min<uint64_t>(slice, stallMs - waited));
        }
        if (RoomToSend(native, slice))
            return true; // an error on the socket shows in the next send
    }
}

} // namespace

bool SendAll(SOCKET s, const void* data, uint32_t length, WaitObject* interrupt, uint32_t stallMs)
{
    return OnNative(s, [&](::SOCKET native) {
        const char* next = static_cast<const char*>(data);
        uint32_t left = length;
        uint64_t lastProgressMs = stallMs != kInfinite ? GetTickCount64() : 0;
        while (left > 0) {
            const int sent = ::send(native, next, static_cast<int>(left), 0);
            if (sent > 0) {
                next += sent;
                left -= static_cast<uint32_t>(sent);
                if (stallMs != kInfinite)
                    lastProgressMs = GetTickCount64();
            } else if (sent == 0 || ::WSAGetLastError() == WSAEWOULDBLOCK) {
                if (!WaitForRoom(native, interrupt, stallMs, lastProgressMs))
                    return false;
            } else {
                return win32::FailWithWinsockError();
            }
        }
        return true;
    });
}

bool Receive(SOCKET s, void* buffer, uint32_t capacity, uint32_t* received)
{
    return OnNative(s, [&](::SOCKET native) {
        const int n = ::recv(native, static_cast<char*>(buffer), static_cast<int>(capacity), 0);
        if (n < 0)
            return win32::FailWithWinsockError();
        *received = static_cast<uint32_t>(n);
        return true;
    });
}

DatagramRead ReceiveFrom(SOCKET s, void* buffer, uint32_t capacity, uint32_t* received, SocketAddressV4* from)
{
    DatagramRead result = DatagramRead::Failed;
    OnNative(s, [&](::SOCKET native) {
        sockaddr_in sender{};
        int senderLength = sizeof sender;
        const int n = ::recvfrom(native, static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                                 reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n >= 0) {
            *from = win32::FromSockaddr(sender);
            *received = static_cast<uint32_t>(n);
            result = DatagramRead::Datagram;
            return true;
        }
        const int error = ::WSAGetLastError();
        if (error == WSAEMSGSIZE) {
            // Winsock fills the buffer with the datagram's first bytes and names the sender.
            *from = win32::FromSockaddr(sender);
            *received = capacity;
            SetLastSocketError(kWsaEMsgSize);
            result = DatagramRead::Truncated;
            return true;
        }
        result = error == WSAEWOULDBLOCK || error == WSAEINTR ? DatagramRead::NoDatagram : DatagramRead::Failed;
        SetLastSocketError(win32::SocketErrorFromSystem(static_cast<DWORD>(error)));
        return false;
    });
    return result;
}

} // namespace platform
