#pragma once
// Where a record writer gets its packet buffers and where closed packets go: the stream
// sender, a snapshot's packet list, or a test.

#include "Subsidiary/UDPBuff.h"

#include <cstdint>

class IRecordPacketSink {
public:
    virtual ~IRecordPacketSink() = default;
    /// A buffer of 4096 bytes that nobody else holds; throws std::bad_alloc.
    /// The thread that writes the records.
    virtual CUDPBuffRef AcquirePacket() = 0;
    /// The tag a closed packet carries: the multicast group address. The writing thread.
    virtual uint32_t GetPacketTag() = 0;
    /// Takes a closed packet (id, length and tag set); keeps its own reference if it needs
    /// one, since the writer drops its reference afterwards. The writing thread.
    virtual void HandOffPacket(CUDPBuff& packet) = 0;
};
