#pragma once
// What the worker pool and the multicast sender need of the server that owns them: its
// completion port and whether it is shutting down.

#include "platform/CompletionPort.h"

class IIOCP_TransportOwner {
public:
    virtual ~IIOCP_TransportOwner() = default;
    /// The port the transport's sockets complete on; null before the server has started. Any thread.
    virtual platform::CompletionPort* GetCompletionPort() = 0;
    /// True from the start of the server's stop on (a plain flag, read without a lock). Any thread.
    virtual bool IsExiting() const = 0;
};
