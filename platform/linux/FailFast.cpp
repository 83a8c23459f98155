#include "platform/linux/FailFast.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace platform::detail {

void FailFast(const char* what, int errnoValue)
{
    char text[256];
    const std::string line = std::string(what) + ": " + strerror_r(errnoValue, text, sizeof text) + "\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    std::abort();
}

} // namespace platform::detail
