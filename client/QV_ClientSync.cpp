// The TCP half of the client core: pulling the snapshot packet by packet and switching to
// the stream at the position the snapshot was taken.

#include "client/QV_Client.h"

#include "net/common/QVNET_PktHeader.h"
#include "net/common/QVNET_SeqPkt.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"

#include <array>

namespace {

constexpr const char* kReceiveOrigin = "CQV_Client::OnReceivePkt";

} // namespace

// A packet's own length field is not trusted: the payload's length bounds it.
void CQV_Client::OnReceivePkt(const uint8_t* payload, uint32_t length, uint32_t)
{
    const int32_t state = GetState();
    if (state != CS_SYNCHRONISING && state != CS_SYNCHRONISED)
        return;
    const char* refusal = nullptr;
    if (length < QVNET_PktHeader::kSize)
        refusal = "Server send packet smaller than header!";
    else if (payload[0] == QVNET_ID_STREAM)
        refusal = length < QVNET_StreamHeader::kSize ? "Bad size of QVNET_StreamHeader pkt!" : nullptr;
    else if (payload[0] == QVNET_ID_SYNC_COMPLETE)
        refusal = length != QVNET_SyncCompletePkt::kSize ? "Bad size of sync complete pkt!" : nullptr;
    else
        refusal = "Server send unknown packet type!";
    // A snapshot position below the stream's first number would set the last applied one to a
    // value no packet can follow: the client would wait for ever and call itself synchronised.
    if (refusal == nullptr && QVNET_StreamHeader::ReadSeq(payload) < kFirstStreamSeq)
        refusal = "Server send bad snapshot position!";
    if (refusal != nullptr) {
        LogMessage(refusal, LOG_ERR, kReceiveOrigin);
        RequestRestart();
    } else if (payload[0] == QVNET_ID_STREAM) {
        OnSnapshotPkt(payload, length);
    } else {
        OnSyncComplete(QVNET_SyncCompletePkt::ReadSeq(payload));
    }
}

// Every snapshot packet carries the stream position Q of the snapshot; from the first one on,
// stream packets from Q up can be checked for gaps. The request for the next packet depends on
// nothing this one holds and goes whatever becomes of it, so it is sent first: the next packet
// travels while this one is applied, and the server still has one packet in flight.
void CQV_Client::OnSnapshotPkt(const uint8_t* packet, uint32_t length)
{
    {
        CAutoLock lock(m_csPackets);
        if (m_nLastApplied == 0) {
            m_nLastApplied = QVNET_StreamHeader::ReadSeq(packet) - 1;
            m_nScannedTo = 0;
        }
    }
    SendSyncRequest(QVNET_ID_NEXT_SYNC);
    // A session that ended while the request went out has forgotten its replica already.
    const int32_t state = GetState();
    if (state == CS_SYNCHRONISING || state == CS_SYNCHRONISED)
        FeedData(packet, length);
}

// The count is read before m_csPackets is taken: a save from the console holds the replica's
// lock for as long as it writes, and the receive thread must not wait on m_csPackets meanwhile.
// Every snapshot packet has been applied by now, so the count is the snapshot's.
void CQV_Client::OnSyncComplete(uint64_t seq)
{
    const uint64_t objects = m_Repository.GetObjectCount();
    CAutoLock lock(m_csPackets);
    // A restart asked for since the state was read stays asked for.
    if (m_nState != CS_SYNCHRONISING && m_nState != CS_SYNCHRONISED)
        return;
    if (m_nLastApplied != seq - 1) {
        m_nLastApplied = seq - 1;
        m_nScannedTo = 0;
    }
    m_nState = CS_SYNCHRONISED;
    m_nLastDatagramTick = m_Environment.tickCount();
    LogFormatted("OnSyncComplete", "Sync complete - objs : %I64u!", objects);
    SignalEventHandle(m_hApplyEvent);
}

void CQV_Client::SendSyncRequest(uint8_t id)
{
    std::array<uint8_t, QVNET_SyncRequestPkt::kSize> request{};
    QVNET_PktHeader::Write(request.data(), id, QVNET_SyncRequestPkt::kSize);
    const uint32_t error = m_pConnection->Send(request.data(), QVNET_SyncRequestPkt::kSize);
    if (error != EIOCPE_SUCCESS)
        LogMessage(GetErrorText(error), LOG_ERR, "CQV_Client::SendRetransmitPkt");
}
