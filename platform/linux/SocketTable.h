#pragma once
// Handle to socket object. Handles count up and are never given out twice, so a stale handle
// finds nothing; the reactor looks its event tokens up here, which drops events of sockets
// closed meanwhile.

#include "platform/Socket.h"

#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform::detail {

class SocketContext;

class SocketTable {
public:
    /// The process's table; it lives until the process ends. Any thread.
    static SocketTable& Instance();

    /// Stores the socket under a new handle, which it also gets to know. Any thread.
    SOCKET Add(const std::shared_ptr<SocketContext>& socket);
    /// Any thread.
    std::shared_ptr<SocketContext> Find(SOCKET s);
    /// Takes the socket out; later look-ups fail. Any thread.
    std::shared_ptr<SocketContext> Remove(SOCKET s);

private:
    std::mutex m_mutex;
    // guarded by m_mutex
    std::unordered_map<SOCKET, std::shared_ptr<SocketContext>> m_sockets;
    SOCKET m_nextHandle = 1;
};

} // namespace platform::detail
