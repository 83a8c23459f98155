#pragma once
// A completion port: a first-in first-out queue of completion packets that worker threads
// dequeue, fed by the overlapped socket operations of the sockets associated with it
// (OverlappedSocket.h) and by Post. Each port runs one reactor thread of its own.

#include "platform/Overlapped.h"
#include "platform/Socket.h"
#include "platform/Wait.h"

#include <cstdint>
#include <memory>

namespace platform {

namespace detail {
class PortCore;
}

struct CompletionPacket {
    uintptr_t key = 0;
    OVERLAPPED* overlapped = nullptr;
    uint32_t bytes = 0;
    uint32_t result = 0; ///< 0, or the Winsock error number the operation failed with
};

class CompletionPort {
public:
    /// A port with its reactor running; nullptr with the last socket error set. Any thread.
    static std::unique_ptr<CompletionPort> Create();

    CompletionPort(const CompletionPort&) = delete;
    CompletionPort& operator=(const CompletionPort&) = delete;
    /// Ends the reactor and discards the packets still queued without touching their
    /// OVERLAPPEDs; a thread blocked in Dequeue returns false. Any thread but the port's
    /// workers, after they have stopped dequeuing.
    ~CompletionPort();

    /// Sends the socket's completions to this port with the key; once per socket. Any thread.
    bool Associate(SOCKET s, uintptr_t key);
    /// Queues a packet with result 0; the OVERLAPPED pointer is only carried, never touched.
    /// Like every completion, it wakes a worker waiting in Dequeue, also when the poster is
    /// a worker of this port that stays busy. False with the last socket error set (8) when
    /// there is no memory for the packet. Any thread.
    bool Post(uintptr_t key, OVERLAPPED* overlapped, uint32_t bytes);
    /// Takes the oldest packet, waiting up to timeoutMs (kInfinite: no limit). False with
    /// an empty packet on time-out or when the port is being destroyed. Any thread.
    bool Dequeue(CompletionPacket& packet, uint32_t timeoutMs);

private:
    explicit CompletionPort(detail::PortCore* core);

    detail::PortCore* m_pCore;
};

} // namespace platform
