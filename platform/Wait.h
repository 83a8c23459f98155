#pragma once
// Waiting for the first of several wait objects.

#include "platform/WaitObject.h"

#include <cstdint>

namespace platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;     ///< a time-out that never ends
inline constexpr uint32_t kWaitTimeout = 258;         ///< no object was signalled in time
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;   ///< the wait failed; see GetLastSystemError
inline constexpr uint32_t kMaxWaitObjects = 64;

/// Waits until one of the objects is signalled and takes its signal. Returns its index (the
/// lowest when several are signalled; only that one is consumed), kWaitTimeout, or
/// kWaitFailed with the last system error set (no objects, too many, a null or closed one).
/// A Thread can be terminated only here, in SendAll's wait for room (SocketIo.h) and at
/// EndIfTerminated (Thread.h). Any thread.
uint32_t WaitForAny(WaitObject* const* objects, uint32_t count, uint32_t timeoutMs);

} // namespace platform
