#include "platform/Overlapped.h"
#include "platform/SocketError.h"

namespace platform {

bool GetOverlappedResult(const OVERLAPPED& overlapped, uint32_t* bytes)
{
    *bytes = overlapped.nBytes;
    if (overlapped.nResult == 0)
        return true;
    SetLastSocketError(static_cast<int>(overlapped.nResult));
    return false;
}

} // namespace platform
