#pragma once
// A client's request to multicast stream packets again: the header, then the missing
// sequence numbers, 8 bytes each.

#include "net/common/QVNET_PktHeader.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

struct QVNET_RetransmitPkt {
    static constexpr uint8_t kId = QVNET_ID_RETRANSMIT;
    static constexpr uint32_t kMinSize = QVNET_PktHeader::kSize + 8; ///< one number
    static constexpr uint32_t kMaxSeqs = 250; ///< most numbers a client puts in one request

    /// The request for `seqs`; throws std::length_error for no numbers or more than kMaxSeqs.
    static std::vector<uint8_t> Build(std::span<const uint64_t> seqs)
    {
        if (seqs.empty() || seqs.size() > kMaxSeqs)
            throw std::length_error("Bad count of packets to retransmit!");
        std::vector<uint8_t> pkt(QVNET_PktHeader::kSize + 8 * seqs.size());
        QVNET_PktHeader::Write(pkt.data(), kId, static_cast<uint32_t>(pkt.size()));
        for (size_t i = 0; i < seqs.size(); ++i)
            StoreU64LE(pkt.data() + QVNET_PktHeader::kSize + 8 * i, seqs[i]);
        return pkt;
    }

    /// Whole sequence numbers in a packet of `length` bytes; trailing bytes are ignored.
    static uint32_t Count(uint32_t length)
    {
        return length < QVNET_PktHeader::kSize ? 0 : (length - QVNET_PktHeader::kSize) / 8;
    }

    /// The number at `index`, which must be below Count of the packet's length.
    static uint64_t ReadSeq(const uint8_t* pkt, uint32_t index)
    {
        return LoadU64LE(pkt + QVNET_PktHeader::kSize + 8 * static_cast<size_t>(index));
    }
};
