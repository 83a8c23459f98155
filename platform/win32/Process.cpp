#include "platform/Process.h"

#include "platform/win32/WinApi.h"

namespace platform {

std::string GetExecutablePath()
{
    wchar_t path[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    // A full buffer holds a cut path: report no path rather than a wrong one.
    if (n == 0 || n >= MAX_PATH * 4)
        return std::string();
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), text.data(), bytes, nullptr, nullptr);
    return text;
}

uint32_t GetCurrentProcessId()
{
    return ::GetCurrentProcessId();
}

uint32_t GetProcessorCount()
{
    const DWORD count = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return count > 0 ? count : 1;
}

size_t FindLastPathSeparator(const std::string& path)
{
    return path.find_last_of("/\\");
}

} // namespace platform
