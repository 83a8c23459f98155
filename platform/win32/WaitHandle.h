#pragma once
// A wait object's handle travels as the int of WaitObject::GetDescriptor: Windows keeps the
// value of every kernel handle within 32 bits, sign extended, so the round trip is exact.

#include "platform/WaitObject.h"
#include "platform/win32/WinApi.h"

#include <cstdint>

namespace platform::win32 {

inline int DescriptorOf(HANDLE handle)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

inline HANDLE HandleFromDescriptor(int descriptor)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(descriptor));
}

inline HANDLE HandleOf(const WaitObject& object)
{
    return HandleFromDescriptor(object.GetDescriptor());
}

/// True when the object is signalled now; an auto-reset object is reset by it. Any thread.
inline bool TakeSignalNow(HANDLE handle)
{
    return ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

} // namespace platform::win32
