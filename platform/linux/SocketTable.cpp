#include "platform/linux/SocketTable.h"

#include "platform/linux/SocketContext.h"

namespace platform::detail {

SocketTable& SocketTable::Instance()
{
    // Never destroyed: reactor threads of ports that outlive main may still look sockets up.
    static SocketTable* table = new SocketTable;
    return *table;
}

SOCKET SocketTable::Add(const std::shared_ptr<SocketContext>& socket)
{
    std::lock_guard lock(m_mutex);
    SOCKET handle;
    do {
        handle = m_nextHandle++;
    } while (handle == INVALID_SOCKET || handle == 0 || m_sockets.count(handle) != 0 ||
             m_closing.count(handle) != 0);
    m_sockets.emplace(handle, socket);
    socket->SetHandle(handle);
    return handle;
}

std::shared_ptr<SocketContext> SocketTable::Find(SOCKET s)
{
    std::lock_guard lock(m_mutex);
    auto it = m_sockets.find(s);
    return it == m_sockets.end() ? nullptr : it->second;
}

std::shared_ptr<SocketContext> SocketTable::Remove(SOCKET s)
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

std::shared_ptr<SocketContext> SocketTable::FindClosing(SOCKET s)
{
    std::lock_guard lock(m_mutex);
    auto it = m_closing.find(s);
    return it == m_closing.end() ? nullptr : it->second;
}

void SocketTable::EndClose(SOCKET s)
{
    std::lock_guard lock(m_mutex);
    m_closing.erase(s);
}

} // namespace platform::detail
