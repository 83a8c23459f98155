#pragma once
// One socket object of the layer: its system socket (kept across connections by a disconnect
// with reuse, or replaced where the system cannot reuse it), its port association and the
// state that decides which operations may start.
//
// How an overlapped operation travels (the packet contract: every started operation
// completes exactly once through its port, never inside the call that started it):
//   start     the operation joins the engine's list and the system call is made, the socket's
//             lock held: the calls never block, and a close waits for a start under way.
//             The system queues the packet of a call that is under way or done; one that
//             failed at once queues nothing, so the engine leaves the list and queues its packet.
//   complete  a dequeue takes the operation out of the list with its result.
//   teardown  close or disconnect refuses new operations, cancels the socket's operations
//             (an accept it waits for included) and waits until the system holds none of
//             them; those that failed then complete with 995 and 0 bytes, whatever the system
//             says. So once the call returns, nothing but the port queue holds its operations.

#include "platform/Overlapped.h"
#include "platform/Socket.h"
#include "platform/SocketError.h"
#include "platform/win32/WinApi.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform::detail {

class PortCore;

class SocketContext {
public:
    SocketContext(::SOCKET native, bool datagram);
    SocketContext(const SocketContext&) = delete;
    SocketContext& operator=(const SocketContext&) = delete;
    ~SocketContext();

    /// Runs call(native) under the lock; fails with 10057 when there is no system socket. Any thread.
    template <class Call>
    bool WithNative(Call&& call)
    {
        std::lock_guard lock(m_mutex);
        if (m_native == win32::kNoNativeSocket) {
            SetLastSocketError(kWsaENotConn);
            return false;
        }
        return call(m_native);
    }
    /// Any thread.
    bool IsDatagram() const { return m_bDatagram; }
    /// Seconds since the accepted peer connected, -1 without one. Any thread.
    int32_t GetConnectTime();

    /// Any thread, for this and the calls below; each fails with the last socket error set.
    bool Associate(PortCore* port, uintptr_t key);
    bool StartReceive(OVERLAPPED* op, void* buffer, uint32_t length);
    bool StartSend(OVERLAPPED* op, const void* buffer, uint32_t length);
    bool StartSendTo(OVERLAPPED* op, const void* buffer, uint32_t length, SocketAddressV4 destination);
    /// On the listening socket: starts the accept into acceptor.
    bool StartAccept(SocketContext& acceptor, OVERLAPPED* op, void* buffer, uint32_t receiveLength,
                     uint32_t addressArea);
    /// Returns once every operation has completed and the connection is gone.
    bool Disconnect(OVERLAPPED* op);
    /// The socket handle is already out of the table. Returns once every operation has
    /// completed and the system socket is closed.
    void Close();
    /// Returns once Close has finished, called on this object or not yet.
    void WaitClosed();
    /// An accept into this socket completed: it has a connection again. Any thread.
    void OnAccepted() { m_bNoConnection.store(false, std::memory_order_release); }
    /// Its receive, or the accept into it, completed: another may start, one at a time as on
    /// Linux. Any thread.
    void OnReceiveDone() { m_bReceiving.store(false, std::memory_order_release); }

private:
    bool CanStartLocked();
    /// Lists the operation and makes the call, which returns 0, WSA_IO_PENDING or the error.
    template <class Call>
    bool IssueLocked(OVERLAPPED* op, Call&& call);
    bool PostLocked(OVERLAPPED* op, uint32_t result);
    void BeginTearDownLocked();
    void ReplaceNative(::SOCKET native);

    const bool m_bDatagram;
    std::mutex m_mutex;
    std::condition_variable m_cvChanged; ///< a teardown or a close ended
    // guarded by m_mutex
    ::SOCKET m_native;
    PortCore* m_pPort = nullptr; ///< one reference
    uintptr_t m_nKey = 0;
    bool m_bTearingDown = false; ///< a disconnect runs; new operations are refused
    bool m_bClosed = false;
    bool m_bCloseDone = false;
    bool m_bAccepting = false;   ///< it takes its connections by accept: its connect time counts
    /// After a disconnect, until an accept brings the next connection.
    std::atomic<bool> m_bNoConnection{false};
    std::atomic<bool> m_bReceiving{false}; ///< a receive, or an accept into it, is outstanding
};

} // namespace platform::detail
