#pragma once
// The context of one overlapped operation. The caller owns it and keeps it alive and
// untouched from the start of the operation until its completion packet has been dequeued
// (or its port destroyed); it is zeroed (= {}) before each start. The engine keeps its
// bookkeeping inside, the packet's place in the port's queue included, so that neither
// starting nor completing an operation allocates.

#include "platform/Socket.h"

// OperationState, the engine's record of an outstanding operation, meaningless to the caller:
// each backend lays it out for its own engine in its folder, which the build puts on the
// include path.
#include "OperationState.h"

#include <cstdint>

namespace platform {

struct OVERLAPPED {
    OperationState Internal;
    uint32_t nResult; ///< set at completion: 0, or a Winsock error number
    uint32_t nBytes;  ///< set at completion: bytes transferred
};

/// The outcome of a completed operation: true with the byte count, or false with the last
/// socket error set to its error. Any thread, after the completion has been dequeued.
bool GetOverlappedResult(const OVERLAPPED& overlapped, uint32_t* bytes);

} // namespace platform
