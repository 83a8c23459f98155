#include "platform/Inet.h"

#include "platform/win32/WinApi.h"

#include <cwctype>
#include <mstcpip.h>

namespace platform {

bool ParseIPv4Address(const std::string& text, uint32_t& address)
{
    // Not strict: the shorter dotted forms and octal and hex parts, as inet_aton takes them.
    const std::wstring wide(text.begin(), text.end());
    IN_ADDR parsed{};
    LPWSTR end = nullptr;
    if (RtlIpv4StringToAddressW(wide.c_str(), FALSE, &end, &parsed) != 0)
        return false;
    if (*end != L'\0' && !std::iswspace(static_cast<wint_t>(*end)))
        return false;
    address = parsed.S_un.S_addr;
    return true;
}

uint32_t LoopbackIPv4Address()
{
    return htonl(INADDR_LOOPBACK);
}

} // namespace platform
