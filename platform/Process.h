#pragma once
// Facts about the running process: its program file, its id and the processors it may use.

#include <cstdint>
#include <string>

namespace platform {

/// Full path of the running program file, or an empty string when the system cannot tell.
/// Any thread.
std::string GetExecutablePath();

/// Id of the running process. Any thread.
uint32_t GetCurrentProcessId();

/// Number of processors online, at least 1. Any thread.
uint32_t GetProcessorCount();

/// Where the last folder separator of a path is ('/' on Linux, '/' or '\\' on Windows);
/// std::string::npos when the path has none. Any thread.
size_t FindLastPathSeparator(const std::string& path);

} // namespace platform
