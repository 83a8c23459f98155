#include "net/server/IOCPThreadPoolItem.h"

#include "net/server/IOCP_CompletionTarget.h"
#include "net/server/IOCPContext.h"
#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/ThreadBase.h"

#include <new>

namespace {

const char* const kOrigin = "IOCP";

} // namespace

CIOCPThreadPoolItem::CIOCPThreadPoolItem(int32_t number, platform::CompletionPort* port)
    : m_nNumber(number), m_pPort(port)
{
}

CIOCPThreadPoolItem* CIOCPThreadPoolItem::CreateWorker(int32_t number, IIOCP_TransportOwner* server)
{
    std::unique_ptr<CIOCPThreadPoolItem> item(new (std::nothrow) CIOCPThreadPoolItem(number, server->GetCompletionPort()));
    if (!item)
        return nullptr;
    item->m_hEvent = platform::Event::Create(platform::ResetMode::Auto);
    if (!item->m_hEvent) {
        LogMessage(FormatString("Can't create event object for pool : %d", number), LOG_ERR, kOrigin);
        return nullptr;
    }
    CIOCPThreadPoolItem* raw = item.get();
    item->m_hThread = platform::Thread::Create([raw] { return raw->Run(); });
    if (!item->m_hThread) {
        LogMessage(FormatString("Can't create thread object for pool : %d", number), LOG_ERR, kOrigin);
        return nullptr;
    }
    HANDLE started = item->m_hEvent.get();
    CThreadBase::WaitForHandles(&started, 1); // a running worker always reports its start
    return item.release();
}

CIOCPThreadPoolItem::~CIOCPThreadPoolItem()
{
    if (!m_hThread)
        return;
    HANDLE ended = m_hEvent.get();
    CThreadBase::WaitForHandles(&ended, 1);
    m_hThread->Wait(); // the body still returns after its end signal
}

uint32_t CIOCPThreadPoolItem::Run()
{
    LogMessage(FormatString("Thread object for pool : %d Running!", m_nNumber), LOG_MSG, kOrigin);
    m_hEvent->Set();
    for (;;) {
        platform::CompletionPacket packet;
        CDBGMonitor::ThreadSleep(); // no lock may be held across the wait for work
        m_pPort->Dequeue(packet, platform::kInfinite);
        CDBGMonitor::ThreadAwake();
        if (packet.key == kEndOfWorkKey) // also a failed wait, which returns no packet
            break;
        Dispatch(packet);
    }
    LogMessage(FormatString("Thread object for pool : %d exited!", m_nNumber), LOG_MSG, kOrigin);
    m_hEvent->Set();
    return 0;
}

void CIOCPThreadPoolItem::Dispatch(const platform::CompletionPacket& packet)
{
    IIOCP_CompletionTarget* target = packet.key == kAcceptKey
                                         ? CIOCPContext::FromOverlapped(packet.overlapped)->pOwner
                                         : TargetOfKey(packet.key);
    target->OnIoComplete(packet.overlapped, packet.bytes);
}
