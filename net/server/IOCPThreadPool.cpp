#include "net/server/IOCPThreadPool.h"

CIOCPThreadPool::~CIOCPThreadPool()
{
    Stop();
}

bool CIOCPThreadPool::Start(uint32_t count, IIOCP_TransportOwner* server)
{
    m_pPort = server->GetCompletionPort();
    for (uint32_t n = 1; n <= count; ++n) {
        const int32_t number = static_cast<int32_t>(n);
        std::unique_ptr<CIOCPThreadPoolItem> worker(CIOCPThreadPoolItem::CreateWorker(number, server));
        if (!worker) {
            Stop();
            return false;
        }
        m_mapWorkers.emplace(number, std::move(worker));
    }
    return true;
}

void CIOCPThreadPool::Stop()
{
    // Every packet goes out before the first wait, so each worker gets one even while others
    // are still busy.
    for (size_t i = 0; i < m_mapWorkers.size(); ++i)
        m_pPort->Post(CIOCPThreadPoolItem::kEndOfWorkKey, nullptr, 0);
    for (auto& [number, worker] : m_mapWorkers)
        worker.reset(); // waits for the worker's end
    m_mapWorkers.clear();
}
