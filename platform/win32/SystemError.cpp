#include "platform/SystemError.h"

#include "platform/win32/WinApi.h"

namespace platform {

std::string GetSystemErrorMessage(uint32_t code)
{
    char room[1000];
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                          MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), room, sizeof room, nullptr);
    std::string text(room, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace platform
