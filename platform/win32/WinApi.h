#pragma once
// The system's headers for the Windows backend. Winsock defines INVALID_SOCKET and the FD_
// event bits as macros, which would replace the layer's own names of the same values; they
// are taken away here, so that the layer's headers read the same before and after this one.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

namespace platform::win32 {

inline constexpr ::SOCKET kNoNativeSocket = INVALID_SOCKET;
static_assert(FD_READ == 0x01 && FD_CONNECT == 0x10 && FD_CLOSE == 0x20, "the layer's FD_ bits are Winsock's");

} // namespace platform::win32

#undef INVALID_SOCKET
#undef FD_READ
#undef FD_CONNECT
#undef FD_CLOSE
