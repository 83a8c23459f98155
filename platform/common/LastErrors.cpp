// The calling thread's last system and socket errors, for both backends: the layer's own, so
// that only a failing platform call sets them, whatever other system calls come before a read.

#include "platform/SocketError.h"
#include "platform/SystemError.h"

namespace platform {
namespace {

thread_local uint32_t t_lastSystemError = 0;
thread_local int t_nLastSocketError = 0;

} // namespace

uint32_t GetLastSystemError()
{
    return t_lastSystemError;
}

void SetLastSystemError(uint32_t code)
{
    t_lastSystemError = code;
}

int GetLastSocketError()
{
    return t_nLastSocketError;
}

void SetLastSocketError(int winsockError)
{
    t_nLastSocketError = winsockError;
}

} // namespace platform
