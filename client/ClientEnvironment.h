#pragma once
// What the client core takes from outside: how its TCP connection is made and ended, and the
// monotonic clock that paces its requests and watches the stream. The program uses the real
// ones; tests put a fake connection and a clock of their own in their place.

#include "net/client/IIOCP_ClientConnection.h"

#include <cstdint>
#include <functional>

struct CClientEnvironment {
    /// Makes the connection with its thread running; null with the error set.
    std::function<IIOCP_ClientConnection*(IIOCP_ClientReceiver*, uint32_t*)> createConnection;
    /// Ends the connection without callbacks; the core then deletes it.
    std::function<uint32_t(IIOCP_ClientConnection*)> destroyConnection;
    /// Milliseconds since a fixed point; never goes back.
    std::function<uint64_t()> tickCount;
};

/// The client transport's connection and the system's monotonic clock. Any thread.
CClientEnvironment MakeClientEnvironment();
