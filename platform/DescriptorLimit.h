#pragma once
// How many descriptors the process may hold open: every connection of a server takes one.

#include <cstdint>

namespace platform {

/// Raises the soft limit of open descriptors to the hard limit; the programs call it at start.
/// True with the limit now in force in *limit (when given); false with the last system error
/// set when the system refuses, the limit then unchanged. Any thread.
bool RaiseDescriptorLimit(uint64_t* limit = nullptr);

} // namespace platform
