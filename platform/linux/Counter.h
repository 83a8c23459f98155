#pragma once
// Reading and writing the 8-byte counters of eventfd and timerfd descriptors.

namespace platform::linux_detail {

enum class CounterRead { Taken, Empty, Failed };

/// Takes the whole counter of a non-blocking descriptor; Empty when it was zero. Sets the last
/// system error on failure. Any thread.
CounterRead TakeCounter(int fd);

/// Adds one to an eventfd counter; a counter that is already at its limit counts as done. Sets
/// the last system error on failure. Any thread.
bool AddToCounter(int fd);

/// Closes a descriptor, ignoring errors (there is nothing left to do about them). Any thread.
void CloseDescriptor(int fd);

} // namespace platform::linux_detail
