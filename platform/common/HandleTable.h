#pragma once
// Handle to socket object, for both backends. Handles count up and are never given out twice,
// so a stale handle finds nothing (where the system's own handles would soon name another
// socket); the Linux reactor looks its event tokens up here, which drops events of sockets
// closed meanwhile. A socket being closed is kept apart until its close has finished, so that
// a second close of the handle can wait for the first.

#include "platform/Socket.h"

#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform::detail {

template <class Socket>
class HandleTable {
public:
    /// The process's table; never destroyed, for threads that outlive main. Any thread.
    static HandleTable& Instance()
    {
        static HandleTable* table = new HandleTable;
        return *table;
    }

    /// Stores the socket under a new handle, which it also gets to know where it keeps one.
    /// Any thread.
    SOCKET Add(const std::shared_ptr<Socket>& socket)
    {
        std::lock_guard lock(m_mutex);
        SOCKET handle;
        do {
            handle = m_nextHandle++;
        } while (handle == INVALID_SOCKET || handle == 0 || m_sockets.count(handle) != 0 ||
                 m_closing.count(handle) != 0);
        m_sockets.emplace(handle, socket);
        if constexpr (requires { socket->SetHandle(handle); })
            socket->SetHandle(handle);
        return handle;
    }

    /// Any thread.
    std::shared_ptr<Socket> Find(SOCKET s)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_sockets.find(s);
        return it == m_sockets.end() ? nullptr : it->second;
    }

    /// Takes the socket out for closing: later look-ups fail, but FindClosing finds it until
    /// EndClose. Null when no open socket has the handle. Any thread.
    std::shared_ptr<Socket> Remove(SOCKET s)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_sockets.find(s);
        if (it == m_sockets.end())
            return nullptr;
        auto node = m_sockets.extract(it);
        auto socket = node.mapped();
        m_closing.insert(std::move(node));
        return socket;
    }

    /// The socket that Remove took out under the handle and that is still being closed. Any thread.
    std::shared_ptr<Socket> FindClosing(SOCKET s)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_closing.find(s);
        return it == m_closing.end() ? nullptr : it->second;
    }

    /// Forgets the handle for good once its close has finished. Any thread.
    void EndClose(SOCKET s)
    {
        std::lock_guard lock(m_mutex);
        m_closing.erase(s);
    }

private:
    using Map = std::unordered_map<SOCKET, std::shared_ptr<Socket>>;

    std::mutex m_mutex;
    // guarded by m_mutex
    Map m_sockets;
    Map m_closing;
    SOCKET m_nextHandle = 1;
};

} // namespace platform::detail
