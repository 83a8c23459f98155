#include "platform/CompletionPort.h"

#include "platform/SocketError.h"
#include "platform/win32/PortCore.h"
#include "platform/win32/SocketLookup.h"

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
    auto socket = detail::LookupSocket(s);
    return socket && socket->Associate(m_pCore, key);
}

bool CompletionPort::Post(uintptr_t key, OVERLAPPED* overlapped, uint32_t bytes)
{
    return m_pCore->Post(key, overlapped, bytes);
}

bool CompletionPort::Dequeue(CompletionPacket& packet, uint32_t timeoutMs)
{
    return m_pCore->Dequeue(packet, timeoutMs);
}

} // namespace platform
