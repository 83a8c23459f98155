#pragma once
// The context of one overlapped operation of the transport: the OVERLAPPED followed by the
// object that issued it. Accepts complete under the listening socket's key, so the worker pool
// finds their target here.

#include "net/server/IOCP_CompletionTarget.h"
#include "platform/Overlapped.h"

struct CIOCPContext {
    platform::OVERLAPPED overlapped;
    IIOCP_CompletionTarget* pOwner;

    /// Zeroes the OVERLAPPED for the next operation and names the owner. The owner's threads.
    void Prepare(IIOCP_CompletionTarget* owner)
    {
        overlapped = {};
        pOwner = owner;
    }

    /// The context that an OVERLAPPED of the transport sits in. Worker threads.
    static CIOCPContext* FromOverlapped(platform::OVERLAPPED* overlapped)
    {
        return reinterpret_cast<CIOCPContext*>(overlapped); // the OVERLAPPED is the first member
    }
};
