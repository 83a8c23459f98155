#pragma once
// The workers of the server's completion port, numbered from 1, started and stopped together.

#include "net/server/IOCPThreadPoolItem.h"
#include "net/server/IOCP_TransportOwner.h"

#include <cstdint>
#include <map>
#include <memory>

class CIOCPThreadPool {
public:
    CIOCPThreadPool() = default;
    CIOCPThreadPool(const CIOCPThreadPool&) = delete;
    CIOCPThreadPool& operator=(const CIOCPThreadPool&) = delete;
    ~CIOCPThreadPool();

    /// Creates workers 1 ... count in turn; when one fails, stops those already running and
    /// returns false. The server's controlling thread.
    bool Start(uint32_t count, IIOCP_TransportOwner* server);
    /// Posts one end-of-work packet per worker, then waits for each worker to end, in number
    /// order. The server's controlling thread.
    void Stop();
    /// The server's controlling thread.
    size_t GetSize() const { return m_mapWorkers.size(); }

private:
    std::map<int32_t, std::unique_ptr<CIOCPThreadPoolItem>> m_mapWorkers;
    platform::CompletionPort* m_pPort = nullptr;
};
