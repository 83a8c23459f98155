#pragma once
// The process's last word on a crash: fatal signals and uncaught C++ exceptions.

#include "platform/StackTrace.h"

namespace platform {

/// Runs on the crashing thread, with the faulting instruction for a fatal signal and null for
/// an uncaught C++ exception. When it returns, the disposition that was in place before ends
/// the process as it would have ended without the filter. A filter that has not returned
/// within 5 seconds (it may wait for a lock the crash left held) is cut short by SIGALRM,
/// and the process ends the same way.
using CrashFilter = void (*)(const FaultContext* context);

/// Installs the filter for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT, run on the thread's
/// alternate signal stack, and for uncaught C++ exceptions; gives the calling thread its
/// alternate stack (each Thread gets its own). Later calls do nothing. The main thread, before
/// other threads start.
void InstallCrashFilter(CrashFilter filter);

} // namespace platform
