#pragma once
// The application packets that server and clients exchange: the change stream and heartbeats
// over multicast, the snapshot and the requests over TCP. Every packet starts with its id
// and its total length; all fields are little-endian and unaligned.

#include "Subsidiary/LittleEndian.h"

#include <cstdint>

enum EQVNET_PKT_ID : uint8_t {
    QVNET_ID_STREAM = 1,        ///< server -> clients: change records under a sequence number
    QVNET_ID_HEARTBEAT = 2,     ///< server -> clients: the number the next stream packet will carry
    QVNET_ID_RETRANSMIT = 3,    ///< client -> server: stream packets to multicast again
    QVNET_ID_SYNC_REQUEST = 4,  ///< client -> server: start a snapshot
    QVNET_ID_NEXT_SYNC = 5,     ///< client -> server: send the next snapshot packet
    QVNET_ID_SYNC_COMPLETE = 6, ///< server -> client: the snapshot ended at this sequence number
};

struct QVNET_PktHeader {
    static constexpr uint32_t kSize = 5;

    uint8_t nId = 0;
    uint32_t nLength = 0; ///< total packet length, these 5 bytes included

    /// Reads id and length from the first bytes; false when fewer than 5 bytes are given.
    static bool Read(const uint8_t* data, uint32_t size, QVNET_PktHeader& header)
    {
        if (size < kSize)
            return false;
        header.nId = data[0];
        header.nLength = LoadU32LE(data + 1);
        return true;
    }

    static void Write(uint8_t* data, uint8_t id, uint32_t length)
    {
        data[0] = id;
        StoreU32LE(data + 1, length);
    }
};
