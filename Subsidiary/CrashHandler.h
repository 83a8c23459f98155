#pragma once
// The crash handler of both programs: a back trace titled "TopLevelExceptionFilter" for a
// thread that crashes or lets an exception escape, before the process ends as it would have.

#include "platform/StackTrace.h"

/// Prints the back trace of the crashing thread, from the faulting instruction when there is
/// one. The crashing thread.
void TopLevelExceptionFilter(const platform::FaultContext* context);

/// Makes TopLevelExceptionFilter the process's crash handler. The main thread, first in main.
void InstallCrashHandler();
