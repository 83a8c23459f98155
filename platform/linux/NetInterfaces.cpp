#include "platform/NetInterfaces.h"

#include "platform/SocketError.h"

#include <cerrno>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <new>

namespace platform {

namespace {

uint32_t AddressOf(const sockaddr* sa)
{
    return reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr;
}

} // namespace

bool GetNetInterfaces(std::vector<NetInterfaceV4>& interfaces)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        SetLastSocketError(WinsockErrorFromErrno(errno));
        return false;
    }
    bool ok = true;
    try {
        interfaces.clear();
        for (const ifaddrs* at = list; at != nullptr; at = at->ifa_next) {
            if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET || (at->ifa_flags & IFF_UP) == 0)
                continue;
            // An interface without a mask reaches its own address only.
            const uint32_t mask = at->ifa_netmask != nullptr ? AddressOf(at->ifa_netmask) : 0xFFFFFFFFu;
            interfaces.push_back({AddressOf(at->ifa_addr), mask});
        }
    } catch (const std::bad_alloc&) {
        SetLastSocketError(kErrorNotEnoughMemory);
        ok = false;
    }
    freeifaddrs(list);
    return ok;
}

} // namespace platform
