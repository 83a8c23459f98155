#pragma once
// Thread::Terminate asks a thread to end in its current or next wait. A wait of the layer
// watches the request beside its objects and, when it comes, unwinds the thread's stack to its
// start, running the destructors on the way, as a cancelled thread's are on Linux.

#include "platform/win32/WinApi.h"

namespace platform::win32 {

/// The event that asks the calling thread to end, null for a thread the layer did not start.
/// The calling thread.
HANDLE CurrentTerminationRequest();

/// Ends the calling thread as Terminate asked: unwinds to the thread's start. The calling thread.
[[noreturn]] void EndTerminatedThread();

/// Ends the calling thread at once when Terminate has asked it to; a wait calls it first. The
/// calling thread.
void EndThreadIfTerminated();

} // namespace platform::win32
