#pragma once
// The client core against a fake connection and a clock of the test's own, fed with crafted
// packets; what the core prints, sends and asks of its connection is recorded.

#include "client/QV_Client.h"
#include "client/Settings.h"
#include "net/common/QVNET_PktHeader.h"
#include "net/common/QVNET_RetransmitPkt.h"
#include "net/common/QVNET_SeqPkt.h"
#include "support/ClientProbe.h"
#include "support/FakeClientConnection.h"
#include "support/RecordBodyBuilder.h"
#include "support/SettingsText.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

using CBytes = std::vector<uint8_t>;

// The fake connection, with the retransmission requests it was sent read back.
class CFakeConnection final : public CFakeClientConnection {
public:
    using CFakeClientConnection::CFakeClientConnection;

    /// The sequence numbers of every retransmission request sent, each checked for its form.
    std::vector<std::vector<uint64_t>> Requests()
    {
        std::vector<std::vector<uint64_t>> requests;
        for (const CBytes& packet : Sent()) {
            QVNET_PktHeader header;
            if (!QVNET_PktHeader::Read(packet.data(), static_cast<uint32_t>(packet.size()), header) ||
                header.nId != QVNET_RetransmitPkt::kId)
                continue;
            EXPECT_EQ(header.nLength, packet.size());
            EXPECT_EQ((packet.size() - QVNET_PktHeader::kSize) % 8, 0u);
            std::vector<uint64_t> seqs;
            for (uint32_t i = 0; i < QVNET_RetransmitPkt::Count(header.nLength); ++i)
                seqs.push_back(QVNET_RetransmitPkt::ReadSeq(packet.data(), i));
            requests.push_back(seqs);
        }
        return requests;
    }
};

inline CBytes SeqPacket(uint8_t id, uint64_t seq, const CBytes& body = {})
{
    CBytes packet(QVNET_StreamHeader::kSize);
    QVNET_PktHeader::Write(packet.data(), id, static_cast<uint32_t>(packet.size() + body.size()));
    QVNET_StreamHeader::WriteSeq(packet.data(), seq);
    packet.insert(packet.end(), body.begin(), body.end());
    return packet;
}

/// Stream packet `seq` creates the object obj_<seq> with the identifier seq.
inline CBytes StreamPacket(uint64_t seq)
{
    return SeqPacket(QVNET_ID_STREAM, seq, CRecordBodyBuilder().Create(1, seq, 0, "obj_" + std::to_string(seq)).Bytes());
}

inline CBytes Heartbeat(uint64_t next)
{
    return SeqPacket(QVNET_ID_HEARTBEAT, next);
}

inline CBytes operator+(CBytes first, const CBytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

/// The one-character prints of the captured output, with "|" for the sync's log line; every
/// other log line left out.
inline std::string Trace(const std::string& output)
{
    std::string trace;
    for (size_t at = 0; at < output.size();) {
        if (output[at] != '[') {
            trace += output[at++];
            continue;
        }
        const size_t end = output.find("\r\n", at);
        if (output.substr(at, end - at).find("Sync complete - objs") != std::string::npos)
            trace += '|';
        at = end == std::string::npos ? output.size() : end + 2;
    }
    return trace;
}

class ClientHarness : public ::testing::Test {
protected:
    /// Settings of a client reaching its server at 127.0.0.1:port, stream on `group`.
    void InitClient(uint16_t port = 6666, const std::string& group = "239.255.0.1")
    {
        CSettings settings;
        LoadSettingsText(settings,
                         "[SERVER]\nServerPort=" + std::to_string(port) + "\nMulticastAddr=" + group +
                             "\nServerAddr=127.0.0.1\n",
                         true);
        CClientEnvironment environment;
        environment.createConnection = [this](IIOCP_ClientReceiver* receiver, uint32_t*) {
            return m_pConnection = new CFakeConnection(receiver);
        };
        environment.destroyConnection = [](IIOCP_ClientConnection*) { return 0u; };
        environment.tickCount = [this] { return m_nNow.load(); };
        ASSERT_TRUE(m_Client.Init(settings, std::move(environment)));
    }
    void SetUp() override { InitClient(); }
    /// gtest's own report of a failure went into the capture as well.
    void TearDown() override
    {
        if (HasFailure())
            std::fputs(m_Capture.Take().c_str(), stdout);
    }

    void Udp(const CBytes& datagram) { m_Client.OnUDPPktReceived(datagram.data(), static_cast<uint32_t>(datagram.size())); }
    void Tcp(const CBytes& payload) { m_Client.OnReceivePkt(payload.data(), static_cast<uint32_t>(payload.size()), 0); }
    void ApplyAll()
    {
        while (m_Client.ApplyNextPacket()) {
        }
    }

    /// Connected, with the snapshot of Q begun: the type Bean and the object base.
    void BeginSnapshot(uint64_t q)
    {
        m_Client.OnConnected(0);
        Tcp(SeqPacket(QVNET_ID_STREAM, q, CRecordBodyBuilder().TypeDef(1, "Bean").Create(1, 1, 0, "base").Bytes()));
    }
    void CompleteSnapshot(uint64_t q)
    {
        Tcp(SeqPacket(QVNET_ID_SYNC_COMPLETE, q));
        ApplyAll();
    }

    std::string Output() const { return m_Capture.Peek(); }
    bool Logged(const std::string& line) const { return Output().find(line + "\r\n") != std::string::npos; }

    CStdoutCapture m_Capture; // first in, last out: it sees the client's last lines too
    std::atomic<uint64_t> m_nNow{1000000};
    CFakeConnection* m_pConnection = nullptr; // owned by the client
    CClientProbe m_Client;
};
