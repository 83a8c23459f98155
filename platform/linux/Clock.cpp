#include "platform/Clock.h"

#include <time.h>

namespace platform {

uint64_t GetTickCount64()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t GetSystemTimeAsFileTime()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return kFileTimeUnixEpoch + static_cast<uint64_t>(ts.tv_sec) * 10000000u +
           static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

} // namespace platform
