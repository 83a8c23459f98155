#pragma once
// The system's headers for the Windows parts of the test support. The runtime calls its wait
// object pointer HANDLE, as the design's Windows code did, so the system's HANDLE is seen here
// as WinHandle, and both fit in one test. Winsock's INVALID_SOCKET and FD_ macros would replace
// the platform layer's names of the same values: they are taken away again.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#define HANDLE WinHandle
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#undef HANDLE
#undef INVALID_SOCKET
#undef FD_READ
#undef FD_CONNECT
#undef FD_CLOSE

/// What the system's INVALID_HANDLE_VALUE stands for.
inline const WinHandle kInvalidWinHandle = reinterpret_cast<WinHandle>(static_cast<intptr_t>(-1));
