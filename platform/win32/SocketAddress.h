#pragma once
// The layer's IPv4 endpoints as the system's socket addresses.

#include "platform/Socket.h"
#include "platform/win32/WinApi.h"

namespace platform::win32 {

inline sockaddr_in ToSockaddr(SocketAddressV4 address)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address.address;
    sa.sin_port = htons(address.port);
    return sa;
}

inline SocketAddressV4 FromSockaddr(const sockaddr_in& sa)
{
    return {sa.sin_addr.s_addr, ntohs(sa.sin_port)};
}

} // namespace platform::win32
