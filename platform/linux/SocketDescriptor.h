#pragma once
// Running a system call on the descriptor behind a socket handle.

#include "platform/Socket.h"
#include "platform/SocketError.h"
#include "platform/linux/SocketContext.h"
#include "platform/linux/SocketTable.h"

namespace platform::detail {

/// call(fd) under the socket's lock; fails with 10038 for an unknown handle. Any thread.
template <class Call>
bool OnDescriptor(SOCKET s, Call&& call)
{
    auto socket = SocketTable::Instance().Find(s);
    if (!socket) {
        SetLastSocketError(kWsaENotSock);
        return false;
    }
    return socket->WithDescriptor(call);
}

} // namespace platform::detail
