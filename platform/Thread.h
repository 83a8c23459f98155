#pragma once
// Threads.

#include <cstdint>

namespace platform {

/// The system's number of the calling thread, unique among the running threads. Any thread.
uint32_t GetCurrentThreadId();

} // namespace platform
