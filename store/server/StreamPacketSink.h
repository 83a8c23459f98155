#pragma once
// Lets the stream's record writer take its buffers from the server core's pool and hand
// each closed packet to the core's stream sender.

#include "store/RecordPacketSink.h"
#include "store/StreamCore.h"

class CStreamPacketSink : public IRecordPacketSink {
public:
    explicit CStreamPacketSink(IStreamCore& core) : m_Core(core) {}

    CUDPBuffRef AcquirePacket() override { return m_Core.AcquireStreamBuffer(); }
    uint32_t GetPacketTag() override { return m_Core.GetMulticastGroupAddress(); }
    void HandOffPacket(CUDPBuff& packet) override { m_Core.SendStreamPacket(packet); }

private:
    IStreamCore& m_Core;
};
