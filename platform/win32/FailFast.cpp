#include "platform/win32/FailFast.h"

#include "platform/SystemError.h"
#include "platform/win32/WinApi.h"

#include <cstdlib>
#include <string>

namespace platform::win32 {

void FailFast(const char* what, uint32_t systemError)
{
    const std::string line = std::string(what) + ": " + GetSystemErrorMessage(systemError) + "\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    std::abort();
}

} // namespace platform::win32
