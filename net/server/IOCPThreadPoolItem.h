#pragma once
// One worker of the server's completion port: dequeues completion packets without time limit
// and hands each to the object that issued the operation.
//   key 0          end of work (posted by the pool's stop): the worker ends
//   key 1          an accept completed under the listening socket: the target is the owner
//                  stored behind the OVERLAPPED
//   any other key  the target itself, which attached its socket with itself as key
// A failed operation is delivered like a successful one, with its byte count.

#include "net/server/IOCP_TransportOwner.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <cstdint>
#include <memory>

class CIOCPThreadPoolItem {
public:
    /// The completion key of the listening socket.
    static constexpr uintptr_t kAcceptKey = 1;
    /// The completion key that ends a worker.
    static constexpr uintptr_t kEndOfWorkKey = 0;

    /// Creates the worker and waits until its thread runs; null after logging when the event
    /// or the thread cannot be made. The pool's controlling thread.
    static CIOCPThreadPoolItem* CreateWorker(int32_t number, IIOCP_TransportOwner* server);

    /// Waits for the worker's end signal and its thread; the end-of-work packet must have been
    /// posted. The pool's controlling thread.
    virtual ~CIOCPThreadPoolItem();
    CIOCPThreadPoolItem(const CIOCPThreadPoolItem&) = delete;
    CIOCPThreadPoolItem& operator=(const CIOCPThreadPoolItem&) = delete;

private:
    CIOCPThreadPoolItem(int32_t number, platform::CompletionPort* port);
    uint32_t Run();
    void Dispatch(const platform::CompletionPacket& packet);

    int32_t m_nNumber;
    std::unique_ptr<platform::Thread> m_hThread;
    std::unique_ptr<platform::Event> m_hEvent; ///< auto-reset: signalled at start and at end
    platform::CompletionPort* m_pPort; ///< the server's
};
