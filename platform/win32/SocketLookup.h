#pragma once
// The socket object behind a handle, for the calls of the Windows backend.

#include "platform/SocketError.h"
#include "platform/win32/SocketContext.h"
#include "platform/win32/SocketTable.h"

#include <memory>

namespace platform::detail {

/// The socket of the handle; null with the last socket error set to 10038 when there is none.
inline std::shared_ptr<SocketContext> LookupSocket(SOCKET s)
{
    auto socket = SocketTable::Instance().Find(s);
    if (!socket)
        SetLastSocketError(kWsaENotSock);
    return socket;
}

/// Runs call(native) on the handle's system socket; false with the last socket error set when
/// there is none. Any thread.
template <class Call>
bool OnNative(SOCKET s, Call&& call)
{
    auto socket = LookupSocket(s);
    return socket && socket->WithNative(call);
}

} // namespace platform::detail
