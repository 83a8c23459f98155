#pragma once
// The termination signals (Ctrl+C's SIGINT and SIGTERM) as a wait object, so that a program's
// console loop can wait for "a key or a signal" and shut down cleanly, as its quit key does.

#include "platform/WaitObject.h"

namespace platform {

/// The wait object that the first SIGINT or SIGTERM signals for good (manual reset, never
/// reset): from then on every wait that takes it returns at once. The first call installs the
/// handlers; make it in the main thread before other threads start. Any thread afterwards.
WaitObject& GetTerminationSignal();

} // namespace platform
