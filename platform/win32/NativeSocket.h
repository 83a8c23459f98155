#pragma once
// The system sockets behind the layer's socket objects, and the Winsock extensions that only a
// socket can hand out (AcceptEx, DisconnectEx, GetAcceptExSockaddrs: Wine's exported one of
// mswsock finds no addresses).

#include "platform/win32/WinApi.h"

namespace platform::win32 {

/// A non-blocking, overlapped, non-inherited IPv4 socket; kNoNativeSocket with the last socket
/// error set when the system refuses. A datagram socket ignores the reset that an unreachable
/// port sends back to an earlier datagram, as Linux does for unconnected sockets. Any thread.
::SOCKET CreateNativeSocket(bool datagram);

struct Extensions {
    LPFN_ACCEPTEX acceptEx = nullptr;
    LPFN_DISCONNECTEX disconnectEx = nullptr;
    LPFN_GETACCEPTEXSOCKADDRS getAcceptExSockaddrs = nullptr;
    /// DisconnectEx with TF_REUSE_SOCKET leaves a socket that takes the next accept. Wine's only
    /// ends the connection ("Reusing socket not supported yet"): its sockets are replaced instead.
    bool reuseAfterDisconnect = true;
};

/// The extensions, looked up once through the first TCP socket (CreateNativeSocket asks for
/// them); null members where the system has none. Any thread.
const Extensions& GetExtensions(::SOCKET tcpSocket);

} // namespace platform::win32
