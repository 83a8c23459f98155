#include "platform/HostLookup.h"

#include "platform/Inet.h"
#include "platform/SocketError.h"
#include "platform/linux/CancellablePoll.h"
#include "platform/linux/ResolverError.h"

#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace platform {

bool LookupHostIPv4(const std::string& host, uint32_t* address)
{
    if (ParseIPv4Address(host, *address))
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    const int error = errno;
    if (code == 0) {
        *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        ::freeaddrinfo(found);
    }
    // The resolver may take long: a thread given up meanwhile ends here, not back in its owner.
    linux_detail::EndIfCancelled();
    if (code != 0) {
        SetLastSocketError(linux_detail::WinsockErrorFromResolver(code, error));
        return false;
    }
    return true;
}

} // namespace platform
