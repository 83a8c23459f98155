// Fuzz target: the client core's datagram walk, stream and heartbeat handling and snapshot
// pull, on one thread with a fake connection and a clock of the target's own, as the core's
// tests drive it. The input is a program of operations (one byte each, some followed by their
// argument): datagrams, TCP packets, the steps of the event loop and the passing of time, in
// any order. Besides the sanitizers' checks, the recorded missing packets stay bounded and
// every packet the core sends is well formed.

#include "client/Settings.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "net/common/QVNET_PktHeader.h"
#include "net/common/QVNET_RetransmitPkt.h"
#include "net/common/QVNET_SeqPkt.h"
#include "support/ClientProbe.h"
#include "support/FakeClientConnection.h"
#include "support/TempFile.h"

#include <vector>

namespace {

enum EOperation : uint8_t {
    OP_CONNECT,       ///< the connection reports an admitted session
    OP_DISCONNECT,    ///< the connection reports its end
    OP_TCP_PACKET,    ///< a block: one USER payload
    OP_SYNC_COMPLETE, ///< eight bytes: the sequence number of a sync-complete packet
    OP_DATAGRAM,      ///< a block: one multicast datagram
    OP_APPLY,         ///< the apply event: every packet that can be applied
    OP_RETRANSMIT,    ///< the retransmission event or timer
    OP_PURGE,         ///< the purge timer, with its stall check
    OP_CLOCK,         ///< one byte: the clock moves on by that many tenths of a second
    OP_RESTART,       ///< the restart event
    OP_CONNECT_TIMER, ///< the connect timer
    OP_COUNT,
};

void CheckRetransmitRequest(const std::vector<uint8_t>& packet)
{
    const auto length = static_cast<uint32_t>(packet.size());
    const uint32_t count = QVNET_RetransmitPkt::Count(length);
    FuzzCheck(length >= QVNET_RetransmitPkt::kMinSize && (length - QVNET_PktHeader::kSize) % 8 == 0 &&
                  count <= QVNET_RetransmitPkt::kMaxSeqs,
              "a retransmission request holds 1 to 250 whole numbers");
    for (uint32_t i = 1; i < count; ++i)
        FuzzCheck(QVNET_RetransmitPkt::ReadSeq(packet.data(), i - 1) < QVNET_RetransmitPkt::ReadSeq(packet.data(), i),
                  "a retransmission request asks in ascending order");
}

void CheckSent(const std::vector<std::vector<uint8_t>>& sent)
{
    for (const std::vector<uint8_t>& packet : sent) {
        QVNET_PktHeader header;
        FuzzCheck(QVNET_PktHeader::Read(packet.data(), static_cast<uint32_t>(packet.size()), header) &&
                      header.nLength == packet.size(),
                  "a sent packet's length field is its size");
        if (header.nId == QVNET_RetransmitPkt::kId)
            CheckRetransmitRequest(packet);
        else
            FuzzCheck((header.nId == QVNET_ID_SYNC_REQUEST || header.nId == QVNET_ID_NEXT_SYNC) &&
                          header.nLength == QVNET_SyncRequestPkt::kSize,
                      "the client sends only sync requests and retransmission requests");
    }
}

void Run(CClientProbe& client, CFuzzInput& input, uint64_t& now)
{
    while (!input.AtEnd()) {
        switch (input.Byte() % OP_COUNT) {
        case OP_CONNECT: client.OnConnected(0); break;
        case OP_DISCONNECT: client.OnDisconnected(0, 0); break;
        case OP_TCP_PACKET: {
            const std::vector<uint8_t> payload = input.OwnBlock();
            client.OnReceivePkt(payload.data(), static_cast<uint32_t>(payload.size()), 0);
            break;
        }
        case OP_SYNC_COMPLETE: {
            const auto packet = QVNET_SyncCompletePkt::Build(input.U64());
            client.OnReceivePkt(packet.data(), static_cast<uint32_t>(packet.size()), 0);
            break;
        }
        case OP_DATAGRAM: {
            const std::vector<uint8_t> datagram = input.OwnBlock();
            client.OnUDPPktReceived(datagram.data(), static_cast<uint32_t>(datagram.size()));
            break;
        }
        case OP_APPLY:
            while (client.ApplyNextPacket()) {
            }
            break;
        case OP_RETRANSMIT: client.SendRetransmitPkt(); break;
        case OP_PURGE:
            client.PurgeAppliedPackets();
            client.CheckStreamStall();
            break;
        case OP_CLOCK: now += 100 * static_cast<uint64_t>(input.Byte()); break;
        case OP_RESTART: client.RestartConnections(); break;
        case OP_CONNECT_TIMER: client.OnConnectTimer(); break;
        }
        FuzzCheck(client.GetStreamCounters().nMissing <= QVNET_RetransmitPkt::kMaxSeqs + 1,
                  "at most one more missing packet is recorded than a request holds");
    }
}

/// The client core with its fake connection and clock, built once: the lock monitor keeps a
/// record for every lock object, so a core per input would grow the process without end.
class CClientRig {
public:
    CClientRig()
    {
        CTempFile file("[SERVER]\nServerPort=6666\nMulticastAddr=239.255.0.1\nServerAddr=127.0.0.1\n");
        CSettings settings;
        FuzzCheck(settings.LoadFrom(file.Path()), "the target's settings load");
        CClientEnvironment environment;
        environment.createConnection = [this](IIOCP_ClientReceiver* receiver, uint32_t*) {
            return m_pConnection = new CFakeClientConnection(receiver);
        };
        environment.destroyConnection = [](IIOCP_ClientConnection*) { return 0u; };
        environment.tickCount = [this] { return m_nNow; };
        FuzzCheck(m_Client.Init(settings, std::move(environment)), "the client core initialises");
    }

    /// Plays one input from a session's end, as the connection reports it; what the input
    /// leaves is forgotten by the next one's start.
    void Play(const uint8_t* data, size_t size)
    {
        m_nNow = 1000000;
        m_Client.OnDisconnected(0, 0);
        m_pConnection->Clear();
        CFuzzInput input(data, size);
        Run(m_Client, input, m_nNow);
        CheckSent(m_pConnection->Sent());
    }

private:
    uint64_t m_nNow = 0;
    CFakeClientConnection* m_pConnection = nullptr; // owned by the client
    CClientProbe m_Client;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CClientRig rig;
    rig.Play(data, size);
    return 0;
}
