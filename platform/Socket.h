#pragma once
// IPv4 sockets. A SOCKET is a handle on a socket object of the layer: it stays the same while
// the object takes one connection after another (accept, disconnect with reuse), and a closed
// handle is never given out again, so a stale one fails with 10038 instead of reaching another
// socket. Every call that fails sets the last socket error (SocketError.h) and returns
// false, -1 or INVALID_SOCKET.

#include <cstdint>

namespace platform {

using SOCKET = uint32_t;
inline constexpr SOCKET INVALID_SOCKET = 0xFFFFFFFF;

/// Largest payload of one UDP datagram over IPv4.
inline constexpr uint32_t kMaxUdpMessageSize = 65507;

/// INADDR_ANY.
inline constexpr uint32_t kAnyAddress = 0;

/// An IPv4 endpoint: address in network order, port in host order.
struct SocketAddressV4 {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const SocketAddressV4&) const = default;
};

/// Socket library start-up: Winsock's on Windows (every socket call of the layer also starts
/// it when needed), nothing on Linux. Any thread.
bool StartupSockets();

/// A non-blocking TCP socket that child processes do not inherit. Any thread.
SOCKET CreateTcpSocket();
/// A non-blocking UDP socket that child processes do not inherit. Any thread.
SOCKET CreateUdpSocket();
/// Closes the socket; its outstanding operations complete with 995 and 0 bytes. Returns only
/// once every overlapped operation started on the socket (an accept it is the accepting
/// socket of included) has completed: no system call of the socket is running, the engine
/// will not touch their buffers again, and each OVERLAPPED is only held by the port queue
/// until its packet is dequeued (or the port destroyed). The owner may free an operation's
/// memory once the call has returned and that packet is gone. A second CloseSocket of the
/// handle while the first runs waits for it, then fails with 10038. Any thread.
bool CloseSocket(SOCKET s);

/// A TCP socket takes SO_REUSEADDR first on Linux, so that a listener binds at once to a port
/// that connections closed just before still hold (Linux never lets two listeners share a port
/// this way); on Windows, where those connections never block a bind, it takes
/// SO_EXCLUSIVEADDRUSE, so that no other socket can share its port. Any thread, for this and
/// every call below.
bool BindSocket(SOCKET s, SocketAddressV4 local);
/// Listens with the system's largest backlog.
bool ListenSocket(SOCKET s);
/// Starts connecting; a connection that is under way fails with 10035, as on a
/// non-blocking Winsock socket.
bool ConnectSocket(SOCKET s, SocketAddressV4 remote);
enum class ShutdownHow { Receive, Send, Both };
bool ShutdownSocket(SOCKET s, ShutdownHow how);
/// The pending error of the socket (a finished connect), as a Winsock number, 0 for none.
bool GetSocketPendingError(SOCKET s, int* winsockError);

bool GetLocalAddress(SOCKET s, SocketAddressV4* local);

bool SetNoDelay(SOCKET s, bool on);
/// Keep-alive on, with the idle time and probe interval rounded up to whole seconds.
bool SetKeepAlive(SOCKET s, uint32_t idleMs, uint32_t intervalMs);
bool SetReuseAddress(SOCKET s, bool on);
/// Asks for a receive buffer of the size, beyond the system's ceiling where the process may;
/// the system may grant less.
bool SetReceiveBufferSize(SOCKET s, uint32_t bytes);
/// A connect that gets no answer gives up within about this time instead of the system's
/// default of about two minutes.
bool SetConnectTimeout(SOCKET s, uint32_t ms);
/// The interface (its IPv4 address, network order) that multicast datagrams leave from.
bool SetMulticastInterface(SOCKET s, uint32_t interfaceAddress);
/// Off: the socket receives only the groups it joined itself (the Winsock behaviour).
bool SetMulticastAll(SOCKET s, bool on);
/// Joins the group for datagrams from the source only, on the given local interface; where the
/// system lacks source-specific membership (10042), joins the whole group instead.
bool JoinMulticastGroup(SOCKET s, uint32_t group, uint32_t source, uint32_t interfaceAddress);
/// The local address of the interface that traffic to `remote` leaves from.
bool GetInterfaceFacing(uint32_t remote, uint32_t* interfaceAddress);

/// The largest datagram the socket can send: kMaxUdpMessageSize for UDP; fails for TCP.
bool GetMaxMessageSize(SOCKET s, uint32_t* size);
/// Seconds since a peer connected through an accept on this socket, -1 while there is none.
bool GetConnectTime(SOCKET s, int32_t* seconds);

} // namespace platform
