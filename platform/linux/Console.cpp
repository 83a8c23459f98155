#include "platform/Console.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace platform {

void ConsoleWrite(std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // a closed or broken output cannot be reported anywhere
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

bool ConsoleIsTerminal()
{
    static const bool isTerminal = ::isatty(STDOUT_FILENO) == 1;
    return isTerminal;
}

static std::string_view AnsiForeground(ConsoleColour colour)
{
    switch (colour) {
    case ConsoleColour::BrightRed:
        return "\x1b[91m";
    case ConsoleColour::Grey:
        break;
    }
    return "\x1b[37m";
}

void ConsoleWriteLine(std::string_view body, std::string_view lineEnd, ConsoleColour colour)
{
    if (!ConsoleIsTerminal()) {
        std::string line;
        line.reserve(body.size() + lineEnd.size());
        line.append(body).append(lineEnd);
        ConsoleWrite(line);
        return;
    }
    static constexpr std::string_view kDefaultForeground = "\x1b[39m";
    const std::string_view start = AnsiForeground(colour);
    std::string line;
    line.reserve(start.size() + body.size() + kDefaultForeground.size() + lineEnd.size());
    line.append(start).append(body).append(kDefaultForeground).append(lineEnd);
    ConsoleWrite(line);
}

} // namespace platform
