#pragma once
// The process's last word on a crash: fatal signals and uncaught C++ exceptions.

#include "platform/StackTrace.h"

namespace platform {

/// Runs on the crashing thread, with the faulting instruction for a fatal signal and null for
/// an uncaught C++ exception. When it returns, the disposition that was in place before ends
/// the process as it would have ended without the filter. A filter that has not returned
/// within 5 seconds (it may wait for a lock the crash left held) is cut short (by SIGALRM on
/// Linux, by a watchdog thread on Windows), and the process ends the same way.
using CrashFilter = void (*)(const FaultContext* context);

/// Installs the filter for the faults and aborts that end a process, and for uncaught C++
/// exceptions. On Linux: SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT, run on the thread's
/// alternate signal stack. On Windows: the unhandled-exception filter, with stack kept in
/// reserve for a stack overflow, and abort. The calling thread gets its crash stack (each
/// Thread gets its own). Later calls do nothing. The main thread, before other threads start.
void InstallCrashFilter(CrashFilter filter);

} // namespace platform
