#pragma once
// What the server's store needs from the server core: packet buffers from its pool, the
// stream sender that numbers and multicasts a closed packet, the stream position and the
// multicast group that packets are tagged with.

#include "Subsidiary/UDPBuff.h"

#include <cstdint>

class IStreamCore {
public:
    virtual ~IStreamCore() = default;
    /// A 4096-byte buffer nobody else holds; throws std::bad_alloc. Store threads, with the
    /// store's lock held (the core takes its packet lock itself).
    virtual CUDPBuffRef AcquireStreamBuffer() = 0;
    /// Numbers, keeps and multicasts a closed stream packet, taking its own references;
    /// throws when the multicast send fails. Store threads, with the store's lock held.
    virtual void SendStreamPacket(CUDPBuff& packet) = 0;
    /// Gives an unused buffer back to the pool. Store threads.
    virtual void ReturnStreamBuffer(CUDPBuffRef buffer) = 0;
    /// The number the next stream packet will carry. A thread holding the core's packet lock.
    virtual uint64_t GetNextStreamSeq() = 0;
    /// The multicast group address (IPv4, network order) packets are tagged with. Any thread.
    virtual uint32_t GetMulticastGroupAddress() = 0;
};
