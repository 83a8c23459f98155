#pragma once
// How much memory the running process holds in RAM, for benchmarks and diagnostics.

#include <cstdint>

namespace platform {

/// Resident set size of the process in bytes, 0 when the system cannot tell. Any thread.
uint64_t GetResidentMemoryBytes();

} // namespace platform
