#pragma once
// An object that issues overlapped operations on the server's completion port and is handed
// their completions by the worker pool: a connection slot or the multicast sender.

#include "platform/Overlapped.h"

#include <cstdint>

class IIOCP_CompletionTarget {
public:
    /// One completed operation of this target, told apart by its OVERLAPPED. Worker threads;
    /// several at once for one target.
    virtual void OnIoComplete(platform::OVERLAPPED* overlapped, uint32_t bytes) = 0;

protected:
    ~IIOCP_CompletionTarget() = default; // targets are never deleted through this interface
};

/// The completion key under which a target attaches its sockets.
inline uintptr_t CompletionKeyOf(IIOCP_CompletionTarget* target)
{
    return reinterpret_cast<uintptr_t>(target);
}

/// The target a completion key names.
inline IIOCP_CompletionTarget* TargetOfKey(uintptr_t key)
{
    return reinterpret_cast<IIOCP_CompletionTarget*>(key);
}
