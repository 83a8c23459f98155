#include "platform/FreeMemory.h"

#include <malloc.h>

namespace platform {

// The C runtime's heap keeps freed blocks committed until asked to give them back.
void ReleaseFreeMemory()
{
    _heapmin();
}

} // namespace platform
