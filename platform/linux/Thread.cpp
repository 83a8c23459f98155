#include "platform/Thread.h"

#include <unistd.h>

namespace platform {

uint32_t GetCurrentThreadId()
{
    thread_local const auto id = static_cast<uint32_t>(::gettid());
    return id;
}

} // namespace platform
