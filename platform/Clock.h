#pragma once
// Monotonic tick count and wall-clock time.

#include <cstdint>

namespace platform {

/// Milliseconds since an arbitrary fixed point (CLOCK_MONOTONIC). Any thread.
uint64_t GetTickCount64();

/// Current UTC time as a file time: 100 ns units since 1601-01-01. Any thread.
uint64_t GetSystemTimeAsFileTime();

/// Difference between the file-time epoch (1601) and the Unix epoch (1970), in 100 ns units.
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;

} // namespace platform
