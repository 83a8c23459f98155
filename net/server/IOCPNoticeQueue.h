#pragma once
// The closed-client notices that the listen thread hands to the application, oldest first,
// with the manual-reset event that tells the listen thread there are some. The event is reset
// in the same lock hold that finds the queue empty, so a notice queued meanwhile always
// leaves the event signalled.

#include "net/server/IOCP_SlotOwner.h"
#include "platform/Event.h"
#include "Subsidiary/AutoMutex.h"

#include <deque>
#include <memory>
#include <optional>

class CIOCPNoticeQueue {
public:
    /// Creates the event; false when the system refuses. The server's controlling thread.
    bool Open();
    /// Drops the event and every notice left. The server's controlling thread, nobody waiting.
    void Close();
    /// The event, for the listen thread's wait; null while closed.
    platform::Event* GetEvent() const { return m_event.get(); }

    /// Queues the notice and signals the event; false after logging when memory runs out. Any thread.
    bool Push(const CIOCPClosedNotice& notice);
    /// The oldest notice; none, with the event reset, when the queue is empty. Any thread.
    std::optional<CIOCPClosedNotice> Take();
    /// Any thread.
    bool IsEmpty();

private:
    CAutoMutex m_cs;
    // guarded by m_cs
    std::deque<CIOCPClosedNotice> m_queue;
    std::unique_ptr<platform::Event> m_event;
};
