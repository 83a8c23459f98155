#pragma once
// A stand-in client of the server program: admitted by INIT, it asks for the snapshot and
// pulls it one packet per request, as a real client does, without applying anything.

#include "net/common/QVNET_SeqPkt.h"
#include "support/StandInClient.h"

#include <cstdint>
#include <optional>
#include <vector>

class CSyncClient {
public:
    /// Connected to 127.0.0.1:port and admitted, or not Valid.
    explicit CSyncClient(uint16_t port) : m_Client(port)
    {
        const std::optional<CSessionInitAnswer> answer = m_Client.Valid() ? m_Client.Init() : std::nullopt;
        m_bAdmitted = answer && answer->nResult == INIT_ADMITTED;
    }

    bool Valid() const { return m_bAdmitted; }
    CStandInClient& Connection() { return m_Client; }

    /// Sends the 13-byte request with id 4 (sync) or 5 (next sync).
    bool Request(uint8_t id)
    {
        auto packet = QVNET_SyncRequestPkt::Build(0);
        packet[0] = id;
        return m_Client.SendFrame(CMD_USER, packet.data(), QVNET_SyncRequestPkt::kSize);
    }

    /// The payload of the next USER frame, or none.
    std::optional<std::vector<uint8_t>> NextPacket(int timeoutMs = CStandInClient::kWaitMs)
    {
        const std::optional<CSessionFrame> frame = m_Client.ReadFrame(timeoutMs);
        if (!frame || frame->nCommand != CMD_USER)
            return std::nullopt;
        return std::vector<uint8_t>(frame->Payload(), frame->Payload() + frame->PayloadSize());
    }

    /// The whole snapshot: a sync request, then a next-sync after each packet until the
    /// completion. Returns the packets and sets `seq` to the completion's number; false when
    /// the conversation broke off.
    bool Synchronise(std::vector<std::vector<uint8_t>>& packets, uint64_t& seq)
    {
        packets.clear();
        if (!Request(QVNET_ID_SYNC_REQUEST))
            return false;
        for (;;) {
            std::optional<std::vector<uint8_t>> packet = NextPacket();
            if (!packet || packet->size() < QVNET_SyncCompletePkt::kSize)
                return false;
            if ((*packet)[0] == QVNET_ID_SYNC_COMPLETE) {
                seq = QVNET_SyncCompletePkt::ReadSeq(packet->data());
                return true;
            }
            packets.push_back(std::move(*packet));
            if (!Request(QVNET_ID_NEXT_SYNC))
                return false;
        }
    }

private:
    CStandInClient m_Client;
    bool m_bAdmitted = false;
};
