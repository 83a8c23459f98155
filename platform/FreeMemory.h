#pragma once
// Handing memory the program has freed back to the system, after a burst that needed much of it.

namespace platform {

/// Returns the allocator's free pages to the system, so that the process's resident memory
/// falls back once a burst is over. Costs a walk of the heap: call it rarely. Any thread.
void ReleaseFreeMemory();

} // namespace platform
