#include "platform/NetInterfaces.h"

#include "platform/SocketError.h"
#include "platform/win32/WinApi.h"

#include <iphlpapi.h>
#include <memory>
#include <new>

namespace platform {

namespace {

constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                         GAA_FLAG_SKIP_FRIENDLY_NAME;

uint32_t MaskOfPrefix(uint8_t length)
{
    return length == 0 ? 0 : htonl(length >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> length));
}

// The adapter list, grown until it fits; null with the last socket error set.
std::unique_ptr<char[]> ListAdapters()
{
    ULONG size = 16 * 1024;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::unique_ptr<char[]> room(new (std::nothrow) char[size]);
        if (!room) {
            SetLastSocketError(kErrorNotEnoughMemory);
            return nullptr;
        }
        const ULONG result = ::GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(room.get()), &size);
        if (result == NO_ERROR)
            return room;
        if (result != ERROR_BUFFER_OVERFLOW) {
            SetLastSocketError(static_cast<int>(result));
            return nullptr;
        }
    }
    SetLastSocketError(kErrorNotEnoughMemory);
    return nullptr;
}

} // namespace

bool GetNetInterfaces(std::vector<NetInterfaceV4>& interfaces)
{
    const std::unique_ptr<char[]> list = ListAdapters();
    if (!list)
        return false;
    try {
        interfaces.clear();
        for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(list.get()); adapter != nullptr;
             adapter = adapter->Next) {
            if (adapter->OperStatus != IfOperStatusUp)
                continue;
            for (const IP_ADAPTER_UNICAST_ADDRESS* at = adapter->FirstUnicastAddress; at != nullptr; at = at->Next) {
                const sockaddr* sa = at->Address.lpSockaddr;
                if (sa == nullptr || sa->sa_family != AF_INET)
                    continue;
                const uint32_t address = reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr;
                interfaces.push_back({address, MaskOfPrefix(at->OnLinkPrefixLength)});
            }
        }
    } catch (const std::bad_alloc&) {
        SetLastSocketError(kErrorNotEnoughMemory);
        return false;
    }
    return true;
}

} // namespace platform
