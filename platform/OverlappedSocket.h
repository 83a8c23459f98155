#pragma once
// Overlapped operations on sockets associated with a completion port. A call that returns
// true has started the operation, and its completion packet (the socket's key, the
// OVERLAPPED, the bytes and the result) will be queued on the port exactly once, never
// inside the call itself. A call that returns false started nothing and set the last
// socket error. Every call may be made from any thread.

#include "platform/Overlapped.h"
#include "platform/Socket.h"

#include <cstdint>

namespace platform {

/// Takes the next connection of the listening socket into acceptSocket (an unconnected TCP
/// socket associated with a port, with no operation outstanding) and completes, through the
/// listening socket's port and key, once the peer's first bytes have arrived: up to
/// receiveLength bytes at the start of the buffer, then the local and the peer address in two
/// areas of addressArea bytes each (read them with GetAcceptAddresses). 0 bytes: the peer
/// closed without sending. A peer that connects and sends nothing keeps the accept pending;
/// GetConnectTime of acceptSocket counts meanwhile. Accepts take connections in the order
/// they were started. acceptSocket gives up its own descriptor when the accept starts (the
/// connection brings one), so options set on it before do not carry over. When the system has
/// no descriptor for a waiting connection, the accept stays pending and tries again a little
/// later; a connection whose accept was closed meanwhile goes to the next accept, never lost.
bool StartAccept(SOCKET listenSocket, SOCKET acceptSocket, void* buffer, uint32_t receiveLength,
                 uint32_t addressArea, OVERLAPPED* overlapped);
/// Minimum addressArea of StartAccept: room for the system's own form of an address, which on
/// Windows is 16 bytes longer than an IPv4 socket address.
inline constexpr uint32_t kAcceptAddressArea = 32;

/// The addresses a completed accept stored behind its received bytes.
void GetAcceptAddresses(const void* buffer, uint32_t receiveLength, uint32_t addressArea,
                        SocketAddressV4* local, SocketAddressV4* peer);

/// Receives up to length bytes; 0 bytes means the peer closed. One receive (or accept) may
/// be outstanding per socket.
bool StartReceive(SOCKET s, void* buffer, uint32_t length, OVERLAPPED* overlapped);
/// Sends all length bytes; sends on one socket go out in the order they were started.
bool StartSend(SOCKET s, const void* buffer, uint32_t length, OVERLAPPED* overlapped);
/// Sends one datagram to the destination.
bool StartSendTo(SOCKET s, const void* buffer, uint32_t length, SocketAddressV4 destination,
                 OVERLAPPED* overlapped);
/// Ends the connection (outstanding operations complete with 995 first) and closes its
/// descriptor; the socket stays valid and can take the next connection through StartAccept.
/// Like CloseSocket, it returns only once every operation started on the socket before has
/// completed and no system call of the socket is running; the disconnect's own packet is
/// queued by then too, with 0, or with 995 when the socket was closed meanwhile.
bool StartDisconnect(SOCKET s, OVERLAPPED* overlapped);

} // namespace platform
