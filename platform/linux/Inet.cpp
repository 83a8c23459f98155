#include "platform/Inet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace platform {

bool ParseIPv4Address(const std::string& text, uint32_t& address)
{
    in_addr parsed{};
    if (::inet_aton(text.c_str(), &parsed) == 0)
        return false;
    address = parsed.s_addr;
    return true;
}

uint32_t LoopbackIPv4Address()
{
    return htonl(INADDR_LOOPBACK);
}

} // namespace platform
