#pragma once
// Sending and receiving on a socket outside any completion port, for a thread that does its
// own waiting (SocketEvent.h). Every call that fails sets the last socket error (SocketError.h).

#include "platform/Socket.h"
#include "platform/Wait.h"
#include "platform/WaitObject.h"

#include <cstdint>

namespace platform {

/// Sends all bytes, waiting for room in the socket's send buffer. A peer that has gone is an
/// error, never a signal. A peer that stops reading would keep the wait going for ever, so it
/// can be bounded: it fails with 10004 once `interrupt` (a manual-reset object, looked at but
/// never taken) is signalled, and with 10060 when no byte has left for `stallMs`; bytes
/// already sent stay sent. Thread::Terminate may end the thread in the wait. Any thread.
bool SendAll(SOCKET s, const void* data, uint32_t length, WaitObject* interrupt = nullptr,
             uint32_t stallMs = kInfinite);

/// Reads what is there, up to the capacity; 0 bytes is the peer's orderly close. Fails with
/// 10035 when nothing is waiting. Any thread.
bool Receive(SOCKET s, void* buffer, uint32_t capacity, uint32_t* received);

enum class DatagramRead {
    Datagram,   ///< one datagram (possibly empty) and its sender
    Truncated,  ///< longer than the capacity: the first bytes, its sender, last socket error 10040
    NoDatagram, ///< nothing was waiting
    Failed,     ///< see the last socket error
};

/// Reads one datagram with its sender's address. Any thread.
DatagramRead ReceiveFrom(SOCKET s, void* buffer, uint32_t capacity, uint32_t* received, SocketAddressV4* from);

} // namespace platform
