#include "platform/DescriptorLimit.h"

namespace platform {

namespace {

// Windows sets no per-process limit below its ceiling of handles, which sockets share.
constexpr uint64_t kHandleCeiling = 1u << 24;

} // namespace

bool RaiseDescriptorLimit(uint64_t* limit)
{
    if (limit != nullptr)
        *limit = kHandleCeiling;
    return true;
}

} // namespace platform
