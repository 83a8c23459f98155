#pragma once
// Conversions between the layer's IPv4 endpoint and the system's.

#include "platform/Socket.h"

#include <netinet/in.h>

namespace platform::detail {

inline sockaddr_in ToSockaddr(const SocketAddressV4& address)
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

} // namespace platform::detail
