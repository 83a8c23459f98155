#include "net/server/IOCPNoticeQueue.h"

#include "Subsidiary/Log.h"

#include <exception>

bool CIOCPNoticeQueue::Open()
{
    CAutoLock lock(m_cs);
    m_event = platform::Event::Create(platform::ResetMode::Manual);
    return m_event != nullptr;
}

void CIOCPNoticeQueue::Close()
{
    CAutoLock lock(m_cs);
    m_queue.clear();
    m_event.reset();
}

bool CIOCPNoticeQueue::Push(const CIOCPClosedNotice& notice)
{
    CAutoLock lock(m_cs);
    try {
        m_queue.push_back(notice);
    } catch (const std::exception& e) {
        LogMessage(e.what(), LOG_ERR, "IOCP");
        return false;
    }
    if (m_event)
        m_event->Set();
    return true;
}

std::optional<CIOCPClosedNotice> CIOCPNoticeQueue::Take()
{
    CAutoLock lock(m_cs);
    if (m_queue.empty()) {
        if (m_event)
            m_event->Reset();
        return std::nullopt;
    }
    CIOCPClosedNotice notice = m_queue.front();
    m_queue.pop_front();
    return notice;
}

bool CIOCPNoticeQueue::IsEmpty()
{
    CAutoLock lock(m_cs);
    return m_queue.empty();
}
