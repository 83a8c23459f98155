#pragma once
// A packet sink for record-writer tests: hands out fresh 4096-byte buffers, keeps every
// closed packet, and can be told to fail.

#include "net/common/QVNET_SeqPkt.h"
#include "store/ChangeRecords.h"
#include "store/RecordPacketSink.h"

#include <new>
#include <stdexcept>
#include <vector>

class CRecordingPacketSink : public IRecordPacketSink {
public:
    static constexpr uint32_t kTag = 0x010000EF; // 239.0.0.1 in network order

    CUDPBuffRef AcquirePacket() override
    {
        if (m_bFailAcquire)
            throw std::bad_alloc();
        ++m_nAcquired;
        return MakeUDPBuff(QVNET_StreamHeader::kMaxSize);
    }
    uint32_t GetPacketTag() override { return kTag; }
    void HandOffPacket(CUDPBuff& packet) override
    {
        m_vecPackets.push_back(CUDPBuffRef::Share(&packet));
        if (m_bFailHandOff)
            throw std::logic_error("send failed");
    }

    std::vector<CUDPBuffRef> m_vecPackets;
    int m_nAcquired = 0;
    bool m_bFailAcquire = false;
    bool m_bFailHandOff = false;
};
