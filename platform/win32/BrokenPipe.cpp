#include "platform/BrokenPipe.h"

namespace platform {

void IgnoreBrokenPipe()
{
    // Windows has no SIGPIPE: a write to a pipe or socket whose reader has gone fails already.
}

} // namespace platform
