#pragma once
// Winsock start-up and its error numbers, for the socket files of the backend.

#include "platform/win32/WinApi.h"

namespace platform::win32 {

/// Starts Winsock once for the process; false with the last socket error set when it cannot.
/// Any thread.
bool EnsureWinsock();

/// The layer's number for the error of a socket call or of a completed operation: Winsock
/// numbers stay, the system errors that completions carry become their Winsock meaning.
int SocketErrorFromSystem(DWORD error);

/// Sets the last socket error from the calling thread's Winsock error; returns false. Any thread.
bool FailWithWinsockError();

} // namespace platform::win32
