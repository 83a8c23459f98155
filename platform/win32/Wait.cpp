#include "platform/Wait.h"

#include "platform/SystemError.h"
#include "platform/win32/ThreadTermination.h"
#include "platform/win32/WaitHandle.h"

namespace platform {

namespace {

uint32_t Fail(DWORD error)
{
    SetLastSystemError(error);
    return kWaitFailed;
}

} // namespace

uint32_t WaitForAny(WaitObject* const* objects, uint32_t count, uint32_t timeoutMs)
{
    if (objects == nullptr || count == 0 || count > kMaxWaitObjects)
        return Fail(ERROR_INVALID_PARAMETER);
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (uint32_t i = 0; i < count; ++i) {
        if (objects[i] == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        handles[i] = win32::HandleOf(*objects[i]);
    }
    win32::EndThreadIfTerminated();
    // The request to end comes last, so the system takes it only when no object is signalled;
    // a wait for the system's most objects cannot watch it.
    DWORD watched = count;
    const HANDLE request = win32::CurrentTerminationRequest();
    if (request != nullptr && count < MAXIMUM_WAIT_OBJECTS)
        handles[watched++] = request;
    // The system's wait takes an auto-reset signal of the lowest signalled object only.
    const DWORD result = ::WaitForMultipleObjects(watched, handles, FALSE, timeoutMs);
    if (result < WAIT_OBJECT_0 + count)
        return result - WAIT_OBJECT_0;
    if (result == WAIT_OBJECT_0 + count)
        win32::EndTerminatedThread();
    if (result == WAIT_TIMEOUT) {
        SetLastSystemError(WAIT_TIMEOUT);
        return kWaitTimeout;
    }
    return Fail(result == WAIT_FAILED ? ::GetLastError() : ERROR_INVALID_HANDLE);
}

} // namespace platform
