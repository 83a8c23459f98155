#include "platform/SystemError.h"

#include <climits>
#include <cstring>

namespace platform {

std::string GetSystemErrorMessage(uint32_t code)
{
    // strerror_r invents "Unknown error N" for numbers it does not know; those have no text.
    if (code > INT_MAX || strerrordesc_np(static_cast<int>(code)) == nullptr)
        return {};
    char room[1000];
    std::string text = strerror_r(static_cast<int>(code), room, sizeof room);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace platform
