#include "platform/Clock.h"

#include "platform/win32/WinApi.h"

namespace platform {

uint64_t GetTickCount64()
{
    // The performance counter, not the system's tick count, whose steps of about 16 ms would
    // make short waits and their measurements coarse.
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const auto counter = static_cast<uint64_t>(now.QuadPart);
    return counter / frequency * 1000u + counter % frequency * 1000u / frequency;
}

uint64_t GetSystemTimeAsFileTime()
{
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

} // namespace platform
