#pragma once
// The 13-byte shape shared by five of the packets: id, length, one 64-bit sequence number.
// Stream packets carry their number there and change records after it; the client's sync
// requests carry zero, which the server ignores.

#include "net/common/QVNET_PktHeader.h"

#include <array>
#include <cstdint>

/// Every server run numbers its stream from here; no packet names a position below it.
inline constexpr uint64_t kFirstStreamSeq = 3;

template <uint8_t Id>
struct QVNET_SeqPkt {
    static constexpr uint8_t kId = Id;
    static constexpr uint32_t kSize = 13;
    static constexpr uint32_t kSeqOffset = QVNET_PktHeader::kSize;

    /// The whole 13-byte packet.
    static std::array<uint8_t, kSize> Build(uint64_t seq)
    {
        std::array<uint8_t, kSize> pkt{};
        QVNET_PktHeader::Write(pkt.data(), kId, kSize);
        WriteSeq(pkt.data(), seq);
        return pkt;
    }

    /// Fills bytes 5-12 of a packet whose header is written already.
    static void WriteSeq(uint8_t* pkt, uint64_t seq) { StoreU64LE(pkt + kSeqOffset, seq); }

    /// The sequence number of a packet the caller knows to hold at least 13 bytes.
    static uint64_t ReadSeq(const uint8_t* pkt) { return LoadU64LE(pkt + kSeqOffset); }
};

/// Header of a stream packet (change records follow, up to kMaxSize bytes in all).
struct QVNET_StreamHeader : QVNET_SeqPkt<QVNET_ID_STREAM> {
    static constexpr uint32_t kMaxSize = 4096;
};
using QVNET_HeartbeatPkt = QVNET_SeqPkt<QVNET_ID_HEARTBEAT>;
using QVNET_SyncRequestPkt = QVNET_SeqPkt<QVNET_ID_SYNC_REQUEST>;
using QVNET_NextSyncPkt = QVNET_SeqPkt<QVNET_ID_NEXT_SYNC>;
using QVNET_SyncCompletePkt = QVNET_SeqPkt<QVNET_ID_SYNC_COMPLETE>;
