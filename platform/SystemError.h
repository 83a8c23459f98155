#pragma once
// The calling thread's last system error, as left by a failed platform call, and its text.

#include <cstdint>
#include <string>

namespace platform {

/// The system's number for an argument it refuses, for callers that refuse one themselves:
/// EINVAL on Linux, ERROR_INVALID_PARAMETER on Windows.
#ifdef _WIN32
inline constexpr uint32_t kErrorInvalidArgument = 87;
#else
inline constexpr uint32_t kErrorInvalidArgument = 22;
#endif

/// The error number of the calling thread's last failed platform call. The calling thread.
uint32_t GetLastSystemError();

/// Records an error number as the calling thread's last system error. The calling thread.
void SetLastSystemError(uint32_t code);

/// The system's text for an error number, without a line break; empty when the system has no
/// text for the number. Any thread.
std::string GetSystemErrorMessage(uint32_t code);

} // namespace platform
