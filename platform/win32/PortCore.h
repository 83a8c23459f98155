#pragma once
// The system's completion port behind a CompletionPort. Sockets keep a reference, so that a
// packet the engine queues for them never reaches a port handle closed and given out again.
// Socket operations travel with one key of the engine's, so that a dequeue can tell them from
// the packets posted to the port, which carry their own key and are passed on untouched.

#include "platform/CompletionPort.h"
#include "platform/win32/WinApi.h"

#include <atomic>

namespace platform::detail {

class PortCore {
public:
    /// A new port with one reference; null with the last socket error set. Any thread.
    static PortCore* Create();
    PortCore(const PortCore&) = delete;
    PortCore& operator=(const PortCore&) = delete;

    /// Any thread.
    void AddRef();
    void Release();

    /// Lets the system queue the socket's completions here. Any thread.
    bool Associate(::SOCKET s);
    /// Queues a posted packet. Any thread.
    bool Post(uintptr_t key, OVERLAPPED* overlapped, uint32_t bytes);
    /// Queues the packet of an operation the engine ends itself, with its result. Any thread.
    bool PostOperation(OVERLAPPED* op, uint32_t result);
    /// Any thread.
    bool Dequeue(CompletionPacket& packet, uint32_t timeoutMs);
    /// Discards the packets queued and wakes every dequeue, now and later, with false. The
    /// owner, once.
    void Shutdown();

private:
    explicit PortCore(HANDLE port) : m_port(port) {}
    ~PortCore();

    const HANDLE m_port;
    std::atomic<int> m_nRefs{1};
    std::atomic<bool> m_bShutDown{false};
};

} // namespace platform::detail
