#include "platform/Console.h"

#include "platform/win32/WinApi.h"

#include <string>

namespace platform {

namespace {

HANDLE Output()
{
    return ::GetStdHandle(STD_OUTPUT_HANDLE);
}

} // namespace

void ConsoleWrite(std::string_view text)
{
    while (!text.empty()) {
        DWORD written = 0;
        if (!::WriteFile(Output(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return; // a closed or broken output cannot be reported anywhere
        text.remove_prefix(written);
    }
}

bool ConsoleIsTerminal()
{
    static const bool isConsole = [] {
        DWORD mode = 0;
        return ::GetConsoleMode(Output(), &mode) != 0;
    }();
    return isConsole;
}

void ConsoleWriteLine(std::string_view body, std::string_view lineEnd, ConsoleColour colour)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!ConsoleIsTerminal() || !::GetConsoleScreenBufferInfo(Output(), &info)) {
        std::string line;
        line.reserve(body.size() + lineEnd.size());
        line.append(body).append(lineEnd);
        ConsoleWrite(line);
        return;
    }
    const WORD foreground = static_cast<WORD>(colour) & 0x0F;
    ::SetConsoleTextAttribute(Output(), static_cast<WORD>((info.wAttributes & ~0x0F) | foreground));
    ConsoleWrite(body);
    ::SetConsoleTextAttribute(Output(), info.wAttributes);
    ConsoleWrite(lineEnd);
}

} // namespace platform
