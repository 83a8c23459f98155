#include "platform/win32/Winsock.h"

#include "platform/SocketError.h"

namespace platform::win32 {

bool EnsureWinsock()
{
    static const int startError = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (startError == 0)
        return true;
    SetLastSocketError(startError);
    return false;
}

int SocketErrorFromSystem(DWORD error)
{
    switch (error) {
    case ERROR_NETNAME_DELETED:
    case ERROR_PORT_UNREACHABLE: return kWsaEConnReset;
    case ERROR_CONNECTION_ABORTED:
    case ERROR_REQUEST_ABORTED: return kWsaEConnAborted;
    case ERROR_CONNECTION_REFUSED: return kWsaEConnRefused;
    case ERROR_SEM_TIMEOUT: return kWsaETimedOut;
    case ERROR_NETWORK_UNREACHABLE: return 10051;
    case ERROR_HOST_UNREACHABLE: return 10065;
    case ERROR_CONNECTION_INVALID:
    case ERROR_GRACEFUL_DISCONNECT: return kWsaENotConn;
    case ERROR_MORE_DATA: return kWsaEMsgSize;
    case ERROR_INVALID_HANDLE: return kWsaENotSock;
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_MEMORY: return kErrorNotEnoughMemory;
    case ERROR_NOT_FOUND: return kErrorOperationAborted; // cancelled before the system had it
    default: return static_cast<int>(error);
    }
}

bool FailWithWinsockError()
{
    SetLastSocketError(SocketErrorFromSystem(static_cast<DWORD>(::WSAGetLastError())));
    return false;
}

} // namespace platform::win32
