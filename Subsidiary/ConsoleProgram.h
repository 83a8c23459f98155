#pragma once
// The steps both console programs take around their key loop: the process set-up before any
// other thread starts, the socket library, and the key reads during which the lock monitor
// counts the console thread as asleep.

/// Installs the crash handler, ignores SIGPIPE, raises the descriptor limit, installs the
/// termination signals, registers the thread with the lock monitor as "main" and seeds the
/// random generator. The main thread, first thing in main.
void StartConsoleProcess();

/// Unregisters the main thread from the lock monitor. The main thread, last thing in main.
void EndConsoleProcess();

/// Starts the socket library; false after logging "Cannot initialize socket library!". The
/// console thread.
bool InitSockets();

/// The next key's character code, or platform::kKeyInterrupted once a termination signal
/// came: a signal stands for the quit key. The console thread.
int ReadKey();

/// The last "any key" wait; returns at once once the input has ended or a signal came. The
/// console thread.
void WaitForKey();
