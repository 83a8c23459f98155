#pragma once
// Running a system call on the descriptor behind a socket handle.

#include "platform/Socket.h"
#include "platform/SocketError.h"
#include "platform/linux/SocketContext.h"
#include "platform/linux/SocketTable.h"

#include <memory>

namespace platform::detail {

/// The open socket under the handle, or null with 10038 set. Any thread.
inline std::shared_ptr<SocketContext> LookupSocket(SOCKET s)
{
    auto socket = SocketTable::Instance().Find(s);
    if (!socket)
        SetLastSocketError(kWsaENotSock);
    return socket;
}

/// call(fd) under the socket's lock; fails with 10038 for an unknown handle. Any thread.
template <class Call>
bool OnDescriptor(SOCKET s, Call&& call)
{
    auto socket = LookupSocket(s);
    return socket && socket->WithDescriptor(call);
}

} // namespace platform::detail
