#pragma once
// A stack overflow leaves the crashing thread no stack for its report; the system keeps this
// much in reserve for the unhandled-exception filter of each thread that asked for it.

namespace platform::win32 {

/// Reserves the crash report's stack for the calling thread. The thread itself, at its start.
void ReserveCrashStack();

} // namespace platform::win32
