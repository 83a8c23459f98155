#pragma once
// One key from the console without echo and without waiting for Enter. On a terminal the
// input is switched to that mode at the first read and put back when the process ends, however
// it ends (return from main, exit, a crash, a signal that ends it); any other input (a pipe, a
// file) gives one byte per key. Reads also end when a given wait object is signalled, so that a
// termination signal can stand for the quit key.

#include "platform/WaitObject.h"

namespace platform {

/// What ReadConsoleKey returns instead of a character code when `interrupt` was signalled.
inline constexpr int kKeyInterrupted = -1;

/// The next key's character code (0-255), or kKeyInterrupted once `interrupt` is signalled (it
/// wins over a key that is waiting). When the input has ended it waits for `interrupt` alone.
/// The console thread.
int ReadConsoleKey(WaitObject& interrupt);

/// Waits for one key as ReadConsoleKey does, but returns at once when the input has ended or
/// `interrupt` is signalled: the last "any key" of a program. The console thread.
void WaitForAnyKey(WaitObject& interrupt);

/// Puts the terminal back as it was before the first read; does nothing when it was not
/// switched. Safe in a signal handler and in a dying process. Any thread.
void RestoreConsoleInput();

} // namespace platform
