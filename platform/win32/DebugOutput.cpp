#include "platform/DebugOutput.h"

#include "platform/win32/WinApi.h"

#include <string>

namespace platform {

void OutputDebugText(std::string_view text)
{
    std::string line(text);
    if (line.empty() || line.back() != '\n')
        line += '\n';
    ::OutputDebugStringA(line.c_str());
    std::string_view left = line;
    while (!left.empty()) {
        DWORD written = 0;
        if (!::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), left.data(), static_cast<DWORD>(left.size()), &written,
                         nullptr))
            return; // nobody is listening
        left.remove_prefix(written);
    }
}

} // namespace platform
