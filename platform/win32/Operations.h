#pragma once
// The engine's view of an operation: its kind, its system OVERLAPPED and how it ends. The
// system writes an operation's status into its system OVERLAPPED and queues its packet; the
// engine queues the packet itself where the system queues none (a call that failed at once, a
// disconnect), and turns the result of an operation that a close or disconnect ended into 995.

#include "platform/Overlapped.h"
#include "platform/win32/WinApi.h"

#include <cstddef>
#include <cstdint>

namespace platform::detail {

enum class OperationKind : uint8_t { Receive = 1, Send, SendTo, Accept, Disconnect };

enum class EngineEnding : uint8_t {
    System,  ///< the system's status is the result
    Posted,  ///< the engine queued the packet with nEngineResult
    Aborted, ///< a close or disconnect ended it: 995 and 0 bytes, whatever the system says
};

static_assert(sizeof(OperationState::systemRecord) == sizeof(::OVERLAPPED), "room for the system's OVERLAPPED");

inline ::OVERLAPPED* SystemOverlapped(OVERLAPPED* op)
{
    return reinterpret_cast<::OVERLAPPED*>(op->Internal.systemRecord);
}

inline OVERLAPPED* FromSystemOverlapped(::OVERLAPPED* system)
{
    static_assert(offsetof(OVERLAPPED, Internal) == 0 && offsetof(OperationState, systemRecord) == 0);
    return reinterpret_cast<OVERLAPPED*>(system);
}

/// True while the system may still write the operation's status or buffer.
inline bool SystemHolds(OVERLAPPED* op)
{
    return op->Internal.bListed && !HasOverlappedIoCompleted(SystemOverlapped(op));
}

inline OperationKind KindOf(const OVERLAPPED& op)
{
    return static_cast<OperationKind>(op.Internal.nKind);
}

} // namespace platform::detail
