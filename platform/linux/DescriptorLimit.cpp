#include "platform/DescriptorLimit.h"

#include "platform/SystemError.h"

#include <cerrno>
#include <sys/resource.h>

namespace platform {

bool RaiseDescriptorLimit(uint64_t* limit)
{
    rlimit current{};
    if (getrlimit(RLIMIT_NOFILE, &current) != 0) {
        SetLastSystemError(static_cast<uint32_t>(errno));
        return false;
    }
    if (current.rlim_cur != current.rlim_max) {
        current.rlim_cur = current.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &current) != 0) {
            SetLastSystemError(static_cast<uint32_t>(errno));
            return false;
        }
    }
    if (limit != nullptr)
        *limit = current.rlim_cur;
    return true;
}

} // namespace platform
