#pragma once
// Socket error numbers. Code above the platform layer sees only the Winsock numbers, so the
// network error table translates them unchanged; errno never leaves the layer.

#include <cstdint>

namespace platform {

// The numbers code above the layer tests for by name.
inline constexpr int kErrorNotEnoughMemory = 8;
inline constexpr int kErrorOperationAborted = 995;
inline constexpr int kErrorIoPending = 997;
inline constexpr int kWsaEIntr = 10004;
inline constexpr int kWsaEInval = 10022;
inline constexpr int kWsaEWouldBlock = 10035;
inline constexpr int kWsaENotSock = 10038;
inline constexpr int kWsaEMsgSize = 10040;
inline constexpr int kWsaENoProtoOpt = 10042;
inline constexpr int kWsaEAddrInUse = 10048;
inline constexpr int kWsaEConnAborted = 10053;
inline constexpr int kWsaEConnReset = 10054;
inline constexpr int kWsaEIsConn = 10056;
inline constexpr int kWsaENotConn = 10057;
inline constexpr int kWsaETimedOut = 10060;
inline constexpr int kWsaEConnRefused = 10061;
inline constexpr int kWsaHostNotFound = 11001;

/// An errno without a Winsock counterpart is reported with this bit set over the errno, a
/// number that the error table shows as an unknown internal error.
inline constexpr int kUnmappedErrorBit = 1 << 29;

/// The Winsock number for an errno value (0 for 0). Any thread.
int WinsockErrorFromErrno(int errnoValue);

/// The Winsock number for a system error number (GetLastSystemError): an errno on Linux, the
/// same number on Windows, whose socket errors are system errors. Any thread.
int WinsockErrorFromSystemError(uint32_t systemError);

/// The calling thread's last socket error, a Winsock number. Any thread.
int GetLastSocketError();

/// Sets the calling thread's last socket error. Any thread.
void SetLastSocketError(int winsockError);

} // namespace platform
