#pragma once
// A server core for store tests: a buffer pool, a stream sender that numbers and keeps
// every packet, and switches that make each operation fail. Packets can be awaited from
// another thread.

#include "net/common/QVNET_SeqPkt.h"
#include "store/ChangeRecords.h"
#include "store/StreamCore.h"
#include "Subsidiary/LittleEndian.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

class CRecordingStreamCore : public IStreamCore {
public:
    static constexpr uint32_t kGroup = 0x0A0000EF; // 239.0.0.10 in network order

    CUDPBuffRef AcquireStreamBuffer() override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bFailAcquire || m_nAcquireBudget == 0)
            throw std::bad_alloc();
        --m_nAcquireBudget;
        if (CUDPBuffRef reused = TakeUnsharedBuffer(m_lstPool))
            return reused;
        ++m_nCreated;
        return MakeUDPBuff(QVNET_StreamHeader::kMaxSize);
    }
    void SendStreamPacket(CUDPBuff& packet) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bFailSend)
            throw std::logic_error("The multicast send failed!");
        StoreU64LE(packet.GetData() + QVNET_StreamHeader::kSeqOffset, m_nNextSeq++);
        m_vecSent.push_back(CUDPBuffRef::Share(&packet));
        m_Sent.notify_all();
    }
    void ReturnStreamBuffer(CUDPBuffRef buffer) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_lstPool.push_back(std::move(buffer));
    }
    uint64_t GetNextStreamSeq() override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_nNextSeq;
    }
    uint32_t GetMulticastGroupAddress() override { return kGroup; }

    /// Waits up to `limit` until `count` packets have been sent.
    bool WaitForSent(size_t count, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Sent.wait_for(lock, limit, [&] { return m_vecSent.size() >= count; });
    }
    size_t SentCount()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_vecSent.size();
    }
    std::vector<CUDPBuffRef> Sent()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_vecSent;
    }

    bool m_bFailAcquire = false;
    int m_nAcquireBudget = -1; ///< acquisitions left before they fail; negative: no limit
    bool m_bFailSend = false;
    int m_nCreated = 0;
    std::list<CUDPBuffRef> m_lstPool;

private:
    std::mutex m_Mutex;
    std::condition_variable m_Sent;
    std::vector<CUDPBuffRef> m_vecSent;
    uint64_t m_nNextSeq = 3;
};
