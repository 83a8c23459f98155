#include "platform/CompletionPort.h"

#include "platform/SocketError.h"
#include "platform/linux/PortCore.h"
#include "platform/linux/SocketContext.h"
#include "platform/linux/SocketTable.h"

namespace platform {

std::unique_ptr<CompletionPort> CompletionPort::Create()
{
    detail::PortCore* core = detail::PortCore::Create();
    if (core == nullptr)
        return nullptr;
    return std::unique_ptr<CompletionPort>(new CompletionPort(core));
}

CompletionPort::CompletionPort(detail::PortCore* core) : m_pCore(core) {}

CompletionPort::~CompletionPort()
{
    m_pCore->Shutdown();
    m_pCore->Release();
}

bool CompletionPort::Associate(SOCKET s, uintptr_t key)
{
    auto socket = detail::SocketTable::Instance().Find(s);
    if (!socket) {
        SetLastSocketError(kWsaENotSock);
        return false;
    }
    return socket->Associate(m_pCore, key);
}

bool CompletionPort::Post(uintptr_t key, OVERLAPPED* overlapped, uint32_t bytes)
{
    return m_pCore->GetQueue().Post({key, overlapped, bytes, 0});
}

bool CompletionPort::Dequeue(CompletionPacket& packet, uint32_t timeoutMs)
{
    return m_pCore->GetQueue().Take(packet, timeoutMs);
}

} // namespace platform
