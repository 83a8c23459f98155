#include "platform/linux/ResolverError.h"

#include "platform/SocketError.h"

#include <netdb.h>

namespace platform::linux_detail {

int WinsockErrorFromResolver(int code, int errnoValue)
{
    switch (code) {
    case EAI_NONAME: return kWsaHostNotFound;
    case EAI_AGAIN: return 11002;
    case EAI_NODATA:
    case EAI_ADDRFAMILY: return 11004;
    case EAI_MEMORY: return kErrorNotEnoughMemory;
    case EAI_SYSTEM: return WinsockErrorFromErrno(errnoValue);
    default: return 11003; // EAI_FAIL, and flags or families this call never passes
    }
}

} // namespace platform::linux_detail
