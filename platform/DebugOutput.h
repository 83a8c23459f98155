#pragma once
// The debugger output channel: diagnostics meant for a developer watching the process, apart
// from the log.

#include <string_view>

namespace platform {

/// Writes the text as one line to standard error (a line break is added when it has none), and
/// on Windows to an attached debugger too. Any thread; one call is one write.
void OutputDebugText(std::string_view text);

} // namespace platform
