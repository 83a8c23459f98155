#include "Subsidiary/Log.h"

#include "platform/Clock.h"
#include "platform/Console.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kFirstRoom = 2048;
constexpr size_t kLargestRoom = 43008;

// Created before main and never destroyed, so that threads still logging while static
// objects are torn down find it intact.
std::mutex& ConsoleLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}
[[maybe_unused]] const std::mutex& g_consoleLockAtStartup = ConsoleLock();

// glibc reads "%I" as a flag, so the "%I64u"/"%I64d" conversions of the messages become
// "%llu"/"%lld". Returns false when the format has none.
bool RewriteI64Conversions(const char* format, std::string& out)
{
    if (std::strstr(format, "I64") == nullptr)
        return false;
    out.clear();
    for (const char* p = format; *p != '\0';) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        out += *p++;
        if (*p == '%') {
            out += *p++;
            continue;
        }
        while (*p != '\0' && std::strchr("-+ #0'123456789.*", *p) != nullptr)
            out += *p++;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            out += "ll";
            p += 3;
        }
    }
    return true;
}

const char* LevelLabel(int32_t level)
{
    return level == LOG_ERR ? "ERR" : "???";
}

} // namespace

std::string FormatStringV(const char* format, va_list args)
{
    std::string rewritten;
    if (RewriteI64Conversions(format, rewritten))
        format = rewritten.c_str();

    char room[kFirstRoom + 1];
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(room, sizeof room, format, args);
    if (needed < 0) {
        va_end(again);
        return {};
    }
    if (static_cast<size_t>(needed) <= kFirstRoom) {
        va_end(again);
        return std::string(room, static_cast<size_t>(needed));
    }
    // Too long for the first room: the text is kept up to the largest room, and cut there.
    const size_t kept = std::min(static_cast<size_t>(needed), kLargestRoom);
    std::string text(kept, '\0');
    std::vsnprintf(text.data(), kept + 1, format, again);
    va_end(again);
    return text;
}

std::string FormatString(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatStringV(format, args);
    va_end(args);
    return text;
}

std::string FormatTimestamp(uint64_t fileTime)
{
    using namespace std::chrono;
    const uint64_t sinceUnix = fileTime >= platform::kFileTimeUnixEpoch ? fileTime - platform::kFileTimeUnixEpoch : 0;
    // The calendar of the standard library: the C library's UTC conversion differs per system.
    const sys_seconds seconds{std::chrono::seconds{static_cast<int64_t>(sinceUnix / 10000000u)}};
    const sys_days day = floor<days>(seconds);
    const year_month_day date{day};
    const hh_mm_ss<std::chrono::seconds> time{seconds - day};
    const unsigned millis = static_cast<unsigned>((sinceUnix / 10000u) % 1000u);
    char text[64];
    std::snprintf(text, sizeof text, "%04d/%02u/%02u %02u:%02u:%02u.%03u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<unsigned>(time.hours().count()), static_cast<unsigned>(time.minutes().count()),
                  static_cast<unsigned>(time.seconds().count()), millis);
    return text;
}

void LogMessage(std::string_view text, int32_t level, std::string_view origin)
{
    const std::string stamp = FormatTimestamp(platform::GetSystemTimeAsFileTime());
    const std::string textCopy(text);
    const std::string originCopy(origin);
    // The text and the origin are arguments, never formats: a '%' in them prints as it is.
    const std::string body = level == LOG_MSG
                                 ? FormatString("[%s] %s : %s", stamp.c_str(), originCopy.c_str(), textCopy.c_str())
                                 : FormatString("[%s] %s : %s : %s", stamp.c_str(), originCopy.c_str(),
                                                LevelLabel(level), textCopy.c_str());
    const auto colour = level == LOG_ERR ? platform::ConsoleColour::BrightRed : platform::ConsoleColour::Grey;
    std::lock_guard<std::mutex> guard(ConsoleLock());
    platform::ConsoleWriteLine(body, "\r\n", colour);
}

void LogFormatted(const char* origin, int32_t level, const char* format, const char* arg)
{
    LogMessage(FormatString(format, arg), level, origin);
}

void LogFormatted(const char* origin, const char* format, int32_t arg)
{
    LogMessage(FormatString(format, arg), LOG_ERR, origin);
}

void LogFormatted(const char* origin, const char* format, uint64_t arg)
{
    LogMessage(FormatString(format, static_cast<unsigned long long>(arg)), LOG_MSG, origin);
}

void LogSystemError(const char* origin, const char* format, const char* errorText)
{
    LogMessage(FormatString(format, errorText), LOG_ERR, origin);
}

void PrintDirect(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatStringV(format, args);
    va_end(args);
    platform::ConsoleWrite(text);
}
