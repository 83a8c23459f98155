#include "platform/DebugOutput.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace platform {

void OutputDebugText(std::string_view text)
{
    std::string line(text);
    if (line.empty() || line.back() != '\n')
        line += '\n';
    std::string_view left = line;
    while (!left.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, left.data(), left.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return; // nobody is listening
        left.remove_prefix(static_cast<size_t>(n));
    }
}

} // namespace platform
