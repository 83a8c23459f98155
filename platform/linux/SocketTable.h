#pragma once
// Handle to socket object. Handles count up and are never given out twice, so a stale handle
// finds nothing; the reactor looks its event tokens up here, which drops events of sockets
// closed meanwhile. A socket being closed is kept apart until its close has finished, so that
// a second close of the handle can wait for the first.

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
    /// Takes the socket out for closing: later look-ups fail, but FindClosing finds it until
    /// EndClose. Null when no open socket has the handle. Any thread.
    std::shared_ptr<SocketContext> Remove(SOCKET s);
    /// The socket that Remove took out under the handle and that is still being closed. Any thread.
    std::shared_ptr<SocketContext> FindClosing(SOCKET s);
    /// Forgets the handle for good once its close has finished. Any thread.
    void EndClose(SOCKET s);

private:
    using Map = std::unordered_map<SOCKET, std::shared_ptr<SocketContext>>;

    std::mutex m_mutex;
    // guarded by m_mutex
    Map m_sockets;
    Map m_closing;
    SOCKET m_nextHandle = 1;
};

} // namespace platform::detail
