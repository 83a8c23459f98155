#pragma once
// Broken invariants of the layer (a completion port that cannot be read, an event that cannot
// be set): the process cannot go on safely, so it says why and aborts, and the crash handler
// prints the trace.

#include <cstdint>

namespace platform::win32 {

/// Writes "what: <error text>" to standard error and aborts. Any thread.
[[noreturn]] void FailFast(const char* what, uint32_t systemError);

} // namespace platform::win32
