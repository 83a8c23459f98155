#include "platform/HostLookup.h"

#include "platform/Inet.h"
#include "platform/SocketError.h"
#include "platform/win32/ThreadTermination.h"
#include "platform/win32/Winsock.h"

namespace platform {

bool LookupHostIPv4(const std::string& host, uint32_t* address)
{
    if (ParseIPv4Address(host, *address))
        return true;
    if (!win32::EnsureWinsock())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    // The resolver's codes are the Winsock numbers (11001 no such host, 11002 try again, ...).
    const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    uint32_t resolved = 0;
    if (code == 0) {
        resolved = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        ::freeaddrinfo(found);
    }
    win32::EndThreadIfTerminated(); // a thread given up during the lookup goes no further
    if (code != 0) {
        SetLastSocketError(code);
        return false;
    }
    *address = resolved;
    return true;
}

} // namespace platform
