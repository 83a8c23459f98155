#pragma once
// A server core for the store benchmark: a pooled buffer supply and a stream sender that
// numbers packets and drops them, both under a monitored packet lock like the real core.

#include "net/common/QVNET_SeqPkt.h"
#include "store/StreamCore.h"
#include "Subsidiary/AutoMutex.h"

#include <list>

class CBenchStreamCore : public IStreamCore {
public:
    CUDPBuffRef AcquireStreamBuffer() override
    {
        CAutoLock lock(m_csPackets);
        if (CUDPBuffRef reused = TakeUnsharedBuffer(m_lstFreeBuffers))
            return reused;
        return MakeUDPBuff(QVNET_StreamHeader::kMaxSize);
    }
    void SendStreamPacket(CUDPBuff& packet) override
    {
        CAutoLock lock(m_csPackets);
        QVNET_StreamHeader::WriteSeq(packet.GetData(), m_nNextSeq++);
        m_lstFreeBuffers.push_back(CUDPBuffRef::Share(&packet));
    }
    void ReturnStreamBuffer(CUDPBuffRef buffer) override
    {
        CAutoLock lock(m_csPackets);
        m_lstFreeBuffers.push_back(std::move(buffer));
    }
    uint64_t GetNextStreamSeq() override { return m_nNextSeq; }
    uint32_t GetMulticastGroupAddress() override { return 0x010000EF; }

    CMonitoredMutex& GetPacketsLock() { return m_csPackets; }

private:
    CMonitoredMutex m_csPackets{"CQV_Server::m_csPackets"};
    std::list<CUDPBuffRef> m_lstFreeBuffers; // guarded by m_csPackets
    uint64_t m_nNextSeq = 3;
};
