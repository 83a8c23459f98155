#pragma once
// The simulated server of the stream simulation, for one client: it numbers stream packets
// from 3, keeps the last 500 for retransmission, multicasts each twice, sends a heartbeat with
// the next number after 250 ms without a packet and every 250 ms after it, serves a snapshot
// of its store one packet per request, and multicasts requested packets twice again, ending the
// session when one has left the history. Every packet changes the store: it sets a property of
// one of a few long-lived objects, creates an object and deletes the one created 30 packets
// before, so a packet skipped, applied twice or applied out of order leaves a visible mark.

#include "SimClock.h"
#include "net/common/QVNET_PktHeader.h"
#include "net/common/QVNET_RetransmitPkt.h"
#include "net/common/QVNET_SeqPkt.h"
#include "support/RecordBodyBuilder.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

using CBytes = std::vector<uint8_t>;

class CSimStreamServer {
public:
    struct SObject {
        std::string strName;
        std::string strValue;
    };
    using CObjects = std::map<uint64_t, SObject>;

    struct SLinks {
        std::function<void(const CBytes&)> multicast; ///< one datagram to the group
        std::function<void(const CBytes&)> reply;     ///< one packet to the client's session
        std::function<void()> close;                  ///< ends the client's session
    };

    static constexpr uint64_t kFirstSeq = 3;
    static constexpr uint64_t kHistorySize = 500;
    static constexpr uint64_t kHeartbeatUs = 250000;
    static constexpr uint16_t kType = 1;
    static constexpr uint64_t kProperty = 1;

    CSimStreamServer(CSimClock& clock, SLinks links) : m_Clock(clock), m_Links(std::move(links))
    {
        for (uint64_t id = 1; id <= kLongLived; ++id)
            m_mapObjects[id] = {"b" + std::to_string(id), "0"};
    }

    void Start() { ArmHeartbeat(); }

    /// The next change: numbered, kept, multicast twice.
    void SendNextPacket()
    {
        const uint64_t seq = m_nNextSeq++;
        CRecordBodyBuilder body;
        const uint64_t changed = 1 + seq % kLongLived;
        body.Prop(OREC_PROP_CHANGE, changed, kProperty, std::to_string(seq));
        m_mapObjects[changed].strValue = std::to_string(seq);
        body.Create(kType, kCreatedBase + seq, 1, "o" + std::to_string(seq)).Entry(kProperty, "c" + std::to_string(seq));
        m_mapObjects[kCreatedBase + seq] = {"o" + std::to_string(seq), "c" + std::to_string(seq)};
        if (seq >= kFirstSeq + kLiveCreated) {
            body.Delete(kCreatedBase + seq - kLiveCreated);
            m_mapObjects.erase(kCreatedBase + seq - kLiveCreated);
        }
        CBytes& packet = m_mapHistory[seq] = Packet(QVNET_ID_STREAM, seq, body);
        m_Links.multicast(packet);
        m_Links.multicast(packet);
        while (m_mapHistory.size() > kHistorySize)
            m_mapHistory.erase(m_mapHistory.begin());
        ArmHeartbeat();
    }

    /// One request of the client's session; the replies go out in order.
    void OnRequest(const CBytes& packet)
    {
        QVNET_PktHeader header;
        if (!QVNET_PktHeader::Read(packet.data(), static_cast<uint32_t>(packet.size()), header) ||
            header.nLength != packet.size())
            return End("a request whose size is wrong");
        switch (header.nId) {
        case QVNET_ID_SYNC_REQUEST:
            RenderSnapshot();
            return NextSnapshotPacket();
        case QVNET_ID_NEXT_SYNC:
            return NextSnapshotPacket();
        case QVNET_ID_RETRANSMIT:
            for (uint32_t i = 0; i < QVNET_RetransmitPkt::Count(header.nLength); ++i) {
                const auto kept = m_mapHistory.find(QVNET_RetransmitPkt::ReadSeq(packet.data(), i));
                if (kept == m_mapHistory.end())
                    return End(nullptr);
                m_Links.multicast(kept->second);
                m_Links.multicast(kept->second);
                ++m_nResent;
            }
            return;
        default:
            return End("an unknown request");
        }
    }
    /// The session ended from the client's side.
    void OnSessionEnded() { m_Snapshot.clear(), m_bSyncing = false; }

    uint64_t LastSeq() const { return m_nNextSeq - 1; }
    const CObjects& Objects() const { return m_mapObjects; }
    uint64_t Resent() const { return m_nResent; }
    uint64_t Refusals() const { return m_nRefusals; }
    /// What the client did that a sound client never does, or null.
    const char* Misbehaviour() const { return m_pMisbehaviour; }

private:
    static constexpr uint64_t kLongLived = 8;
    static constexpr uint64_t kCreatedBase = 1000;
    static constexpr uint64_t kLiveCreated = 30;
    static constexpr size_t kObjectsPerSnapshotPacket = 8;

    static CBytes Packet(uint8_t id, uint64_t seq, const CRecordBodyBuilder& body = {})
    {
        CBytes packet(QVNET_StreamHeader::kSize + body.Size());
        QVNET_PktHeader::Write(packet.data(), id, static_cast<uint32_t>(packet.size()));
        QVNET_StreamHeader::WriteSeq(packet.data(), seq);
        std::ranges::copy(body.Bytes(), packet.begin() + QVNET_StreamHeader::kSize);
        return packet;
    }

    void ArmHeartbeat()
    {
        const uint64_t generation = ++m_nHeartbeatGeneration;
        m_Clock.After(kHeartbeatUs, [this, generation] {
            if (generation != m_nHeartbeatGeneration)
                return;
            const CBytes heartbeat = Packet(QVNET_ID_HEARTBEAT, m_nNextSeq);
            m_Links.multicast(heartbeat);
            m_Links.multicast(heartbeat);
            ArmHeartbeat();
        });
    }

    void RenderSnapshot()
    {
        m_Snapshot.clear();
        m_bSyncing = true;
        m_nSnapshotSeq = m_nNextSeq;
        CRecordBodyBuilder body;
        body.TypeDef(kType, "T").PropDef(kProperty, "v");
        size_t inPacket = 0;
        for (const auto& [id, object] : m_mapObjects) {
            body.Create(kType, id, 1, object.strName).Entry(kProperty, object.strValue);
            if (++inPacket == kObjectsPerSnapshotPacket) {
                m_Snapshot.push_back(Packet(QVNET_ID_STREAM, m_nSnapshotSeq, body));
                body = {};
                inPacket = 0;
            }
        }
        if (inPacket > 0)
            m_Snapshot.push_back(Packet(QVNET_ID_STREAM, m_nSnapshotSeq, body));
    }

    void NextSnapshotPacket()
    {
        if (!m_bSyncing)
            return End("a next-sync request outside a synchronisation");
        if (m_Snapshot.empty()) {
            m_bSyncing = false;
            return m_Links.reply(Packet(QVNET_ID_SYNC_COMPLETE, m_nSnapshotSeq));
        }
        m_Links.reply(m_Snapshot.front());
        m_Snapshot.pop_front();
    }

    /// Ends the session, as the real server does for a request it cannot serve.
    void End(const char* misbehaviour)
    {
        if (misbehaviour != nullptr && m_pMisbehaviour == nullptr)
            m_pMisbehaviour = misbehaviour;
        ++m_nRefusals;
        OnSessionEnded();
        m_Links.close();
    }

    CSimClock& m_Clock;
    SLinks m_Links;
    uint64_t m_nNextSeq = kFirstSeq;
    std::map<uint64_t, CBytes> m_mapHistory;
    CObjects m_mapObjects;
    uint64_t m_nHeartbeatGeneration = 0;
    std::deque<CBytes> m_Snapshot;
    bool m_bSyncing = false;
    uint64_t m_nSnapshotSeq = 0;
    uint64_t m_nResent = 0;
    uint64_t m_nRefusals = 0;
    const char* m_pMisbehaviour = nullptr;
};
