#pragma once
// The console log shared by both programs: timestamped lines with an origin and a level,
// written whole under one process-wide console lock, plus the printf-style formatter that
// every message is built with.

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int32_t LOG_MSG = 0; ///< plain message, grey, no label
inline constexpr int32_t LOG_ERR = 1; ///< error, bright red, label "ERR"

/// Writes one line "[timestamp] origin : text" (level 0) or "[timestamp] origin : LABEL : text".
/// The text is printed literally. Any thread.
void LogMessage(std::string_view text, int32_t level, std::string_view origin);

/// printf-style formatting that also takes the "%I64u"/"%I64d" conversions of the messages.
/// Texts longer than 43008 characters are cut to that length. Any thread.
std::string FormatString(const char* format, ...);
std::string FormatStringV(const char* format, va_list args);

/// "YYYY/MM/DD hh:mm:ss.mmm" for a UTC file time (100 ns units since 1601-01-01).
std::string FormatTimestamp(uint64_t fileTime);

/// FormatString with one string argument, logged at the given level.
void LogFormatted(const char* origin, int32_t level, const char* format, const char* arg);
/// FormatString with one 32-bit argument, logged as an error.
void LogFormatted(const char* origin, const char* format, int32_t arg);
/// FormatString with one unsigned 64-bit argument, logged as a message.
void LogFormatted(const char* origin, const char* format, uint64_t arg);

/// Logs format (one "%s") filled with a system error text, as an error.
void LogSystemError(const char* origin, const char* format, const char* errorText);

/// Prints formatted text straight to standard output: no timestamp, no colour, no lock.
void PrintDirect(const char* format, ...);
