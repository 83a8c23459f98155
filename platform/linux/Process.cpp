#include "platform/Process.h"

#include <climits>
#include <unistd.h>

namespace platform {

std::string GetExecutablePath()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
    // A full buffer may hold a cut path: report no path rather than a wrong one.
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path)
        return std::string();
    return std::string(path, static_cast<size_t>(n));
}

uint32_t GetCurrentProcessId()
{
    return static_cast<uint32_t>(::getpid());
}

size_t FindLastPathSeparator(const std::string& path)
{
    return path.rfind('/');
}

uint32_t GetProcessorCount()
{
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<uint32_t>(count) : 1;
}

} // namespace platform
