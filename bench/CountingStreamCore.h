#pragma once
// A server core for benchmarks that only counts the stream packets it is given. It takes a
// monitored packet lock for each, as the real core does, and recycles the buffer once the
// store has let go of it.

#include "net/common/QVNET_SeqPkt.h"
#include "store/StreamCore.h"
#include "Subsidiary/AutoMutex.h"

#include <cstdint>

class CCountingStreamCore : public IStreamCore {
public:
    CUDPBuffRef AcquireStreamBuffer() override
    {
        CAutoLock lock(m_csPackets);
        if (m_Spare.Get() != nullptr && m_Spare->GetRefCount() == 1)
            return std::move(m_Spare);
        return MakeUDPBuff(QVNET_StreamHeader::kMaxSize);
    }
    void SendStreamPacket(CUDPBuff& packet) override
    {
        CAutoLock lock(m_csPackets);
        ++m_nPackets;
        m_nBytes += packet.GetSize();
        m_Spare = CUDPBuffRef::Share(&packet);
    }
    void ReturnStreamBuffer(CUDPBuffRef buffer) override
    {
        CAutoLock lock(m_csPackets);
        m_Spare = std::move(buffer);
    }
    uint64_t GetNextStreamSeq() override
    {
        CAutoLock lock(m_csPackets);
        return m_nPackets + 3;
    }
    uint32_t GetMulticastGroupAddress() override { return 0x010000EF; }

    uint64_t GetPackets()
    {
        CAutoLock lock(m_csPackets);
        return m_nPackets;
    }
    uint64_t GetBytes()
    {
        CAutoLock lock(m_csPackets);
        return m_nBytes;
    }

private:
    CMonitoredMutex m_csPackets{"CQV_Server::m_csPackets"};
    // guarded by m_csPackets:
    CUDPBuffRef m_Spare;
    uint64_t m_nPackets = 0;
    uint64_t m_nBytes = 0;
};
