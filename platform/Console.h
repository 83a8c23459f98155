#pragma once
// Console output. Text goes straight to the standard output descriptor with no stdio
// buffering, so that operators and tests watching through a pipe see every line at once.

#include <string_view>

namespace platform {

/// Text colours of the log, numbered like the low 4 bits of a console text attribute.
enum class ConsoleColour { Grey = 7, BrightRed = 12 };

/// Writes the text whole to standard output. Any thread; one call is one write where possible.
void ConsoleWrite(std::string_view text);

/// Writes one line in the given foreground colour when standard output is a terminal, and
/// plainly otherwise. Only the foreground changes, and it is put back before the line end.
/// The caller serialises lines (the log's console lock).
void ConsoleWriteLine(std::string_view body, std::string_view lineEnd, ConsoleColour colour);

/// True when standard output is a terminal. Any thread.
bool ConsoleIsTerminal();

} // namespace platform
