#include "platform/FreeMemory.h"

#include <malloc.h>

namespace platform {

// Freed blocks in the middle of the heap stay resident until trimmed; the allocator alone
// gives back only what lies at its top.
void ReleaseFreeMemory()
{
    malloc_trim(0);
}

} // namespace platform
