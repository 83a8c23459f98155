#pragma once
// The snapshot prepared for one joining client: its packets in sending order, all labelled
// with the stream position the client continues from.

#include "Subsidiary/UDPBuff.h"

#include <cstdint>
#include <list>

struct CSyncEntry {
    uint64_t m_nSeq = 0;                ///< the next stream packet's number when it was taken
    std::list<CUDPBuffRef> m_lstPackets; ///< not yet sent; one reference each
    uint64_t m_nLastAskedMs = 0;        ///< when its client last asked for a packet, monotonic
};
