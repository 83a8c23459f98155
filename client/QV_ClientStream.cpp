// The multicast half of the client core: keeping stream packets by sequence number, finding
// and requesting the missing ones, applying them in order and recycling their buffers.

#include "client/QV_Client.h"

#include "net/common/QVNET_PktHeader.h"
#include "net/common/QVNET_RetransmitPkt.h"
#include "net/common/QVNET_SeqPkt.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"

#include <algorithm>
#include <stdexcept>

namespace {

/// Packets may arrive this many numbers out of order before the ones behind count as missing.
constexpr uint64_t kReorderTolerance = 3;
/// More missing packets than this cannot be repaired; the connections restart.
constexpr size_t kMaxMissing = QVNET_RetransmitPkt::kMaxSeqs;
constexpr uint32_t kMaxRequests = 7;
/// 250 ms between two requests for one packet, in 100 ns units.
constexpr int64_t kRequestInterval = 2500000;

constexpr const char* kDatagramOrigin = "CQV_Client::OnUDPPktReceived";
constexpr const char* kPacketOrigin = "CQV_Client::OnUDPSinglePktReceived";
constexpr const char* kRetransmitOrigin = "CQV_Client::SendRetransmitPkt";

} // namespace

void CQV_Client::OnUDPAsyncError(uint32_t error)
{
    LogMessage(GetErrorText(error), LOG_ERR, "CQV_Client::OnUDPAsyncError");
    RequestRestart();
}

// Every length is checked against what arrived before a byte of the packet is read, so the
// walk always advances and stays inside the datagram.
void CQV_Client::OnUDPPktReceived(const uint8_t* data, uint32_t length)
{
    CAutoLock lock(m_csPackets);
    if (m_nState == CS_NOT_CONNECTED || m_nState == CS_RESTARTING)
        return;
    m_nLastDatagramTick = m_Environment.tickCount();
    for (uint32_t offset = 0; offset < length;) {
        const uint32_t remaining = length - offset;
        QVNET_PktHeader header;
        const bool whole = QVNET_PktHeader::Read(data + offset, remaining, header);
        if (whole && header.nLength > QVNET_StreamHeader::kMaxSize) {
            LogMessage(FormatString("Server send too big UDP packet %lu!", static_cast<unsigned long>(length)), LOG_ERR,
                       kDatagramOrigin);
            RequestRestart();
            return;
        }
        if (!whole || header.nLength < QVNET_StreamHeader::kSize || header.nLength > remaining) {
            LogMessage(FormatString("Server send odd UDP packets %lu!", static_cast<unsigned long>(length)), LOG_ERR,
                       kDatagramOrigin);
            RequestRestart();
            return;
        }
        if (!OnUDPSinglePktReceived(data + offset, header.nLength))
            return;
        offset += header.nLength;
    }
}

bool CQV_Client::OnUDPSinglePktReceived(const uint8_t* packet, uint32_t length)
{
    switch (packet[0]) {
    case QVNET_ID_STREAM:
        return OnStreamPkt(packet, length);
    case QVNET_ID_HEARTBEAT:
        return OnHeartbeatPkt(packet, length);
    default:
        LogMessage(FormatString("Unknown packet type received type : %u!", static_cast<unsigned>(packet[0])), LOG_ERR,
                   kPacketOrigin);
        RequestRestart();
        return false;
    }
}

bool CQV_Client::OnStreamPkt(const uint8_t* packet, uint32_t length)
{
    const uint64_t seq = QVNET_StreamHeader::ReadSeq(packet);
    if (m_nHighSeq == 0)
        m_nLowWater = m_nHighSeq = seq;
    if (seq < m_nLowWater) {
        // Still needed: the repair of a packet lost right after connecting comes back below
        // the first one seen.
        if (seq <= m_nLastApplied)
            return true;
        m_nLowWater = seq;
    }
    try {
        CStreamBuffer buffer = AcquireStreamBuffer();
        CUDPBuff& bytes = *buffer.mapped();
        bytes.SetSize(0);
        bytes.PutBytes(packet, length);
        buffer.key() = seq;
        auto kept = m_mapPending.insert(std::move(buffer));
        if (!kept.inserted) {
            PrintDirect(":");
            ReturnStreamBuffer(std::move(kept.node));
            return true;
        }
        m_mapMissing.erase(seq);
        if (seq > m_nHighSeq)
            m_nHighSeq = seq;
        else
            PrintDirect("<");
        if (m_nLastApplied != 0 && seq - m_nLastApplied > kReorderTolerance)
            return RecordMissingPackets(m_nHighSeq > kReorderTolerance ? m_nHighSeq - kReorderTolerance : 0);
        SignalEventHandle(m_hApplyEvent);
        return true;
    } catch (const std::exception&) {
        LogMessage("No memory or something terrible is happening - quit!", LOG_ERR, kPacketOrigin);
        RequestRestart();
        return false;
    }
}

bool CQV_Client::OnHeartbeatPkt(const uint8_t* packet, uint32_t length)
{
    if (length != QVNET_HeartbeatPkt::kSize) {
        LogMessage("Bad heartbeat packet size!", LOG_ERR, kPacketOrigin);
        RequestRestart();
        return false;
    }
    PrintDirect("o");
    const uint64_t next = QVNET_HeartbeatPkt::ReadSeq(packet);
    if (m_nHighSeq == 0)
        m_nLowWater = m_nHighSeq = next;
    // Every number below the next one has been sent, so those not held are missing, whatever
    // came before: when the heartbeat is the first datagram after the snapshot, only it tells
    // of the packets lost at the tail. The repeats of an idle stream find the scan done.
    return next == 0 || RecordMissingPackets(next - 1);
}

// Every number above the last applied one up to the mark has been examined: it is kept or
// recorded missing, so a scan examines only what lies above the mark, and moves the mark only
// once it has examined everything below its top. More missing numbers than one request can
// carry cannot be repaired: the scan that finds them restarts the connections at once, so that
// no later look can find the count shrunk by a repair and carry on with a hole nobody recorded;
// this also stops one wild sequence number from making this thread fill memory.
bool CQV_Client::RecordMissingPackets(uint64_t top)
{
    CAutoLock lock(m_csPackets);
    if (m_nLastApplied == 0 || top <= m_nLastApplied)
        return true;
    for (uint64_t seq = top; seq > std::max(m_nLastApplied, m_nScannedTo); --seq) {
        if (m_mapPending.contains(seq) || !m_mapMissing.try_emplace(seq).second)
            continue;
        PrintDirect("x");
        if (m_mapMissing.size() > kMaxMissing) {
            LogMessage("Network quality too poor to operate! Restarting connections 1!", LOG_ERR, kRetransmitOrigin);
            RequestRestart();
            return false;
        }
    }
    m_nScannedTo = std::max(m_nScannedTo, top);
    SignalEventHandle(m_hRetransmitEvent);
    return true;
}

void CQV_Client::SendRetransmitPkt()
{
    CAutoLock lock(m_csPackets);
    // Once a restart is asked for, the numbers recorded are of a stream about to be forgotten.
    if ((m_nState != CS_SYNCHRONISING && m_nState != CS_SYNCHRONISED) || m_mapMissing.empty())
        return;
    const uint64_t now = Now100ns();
    std::vector<uint64_t> seqs;
    for (auto& [seq, missing] : m_mapMissing) {
        if (missing.nCount != 0 && static_cast<int64_t>(now - missing.nLastRequest) <= kRequestInterval)
            continue;
        missing.nLastRequest = now;
        seqs.push_back(seq);
        if (++missing.nCount > kMaxRequests) {
            LogMessage("Network quality too poor to operate! Restarting connections 2!", LOG_ERR, kRetransmitOrigin);
            RequestRestart();
            return;
        }
    }
    if (seqs.empty())
        return;
    const std::vector<uint8_t> request = QVNET_RetransmitPkt::Build(seqs);
    const uint32_t error = m_pConnection->Send(request.data(), static_cast<uint32_t>(request.size()));
    if (error != EIOCPE_SUCCESS)
        LogMessage(GetErrorText(error), LOG_ERR, kRetransmitOrigin);
}

bool CQV_Client::ApplyNextPacket()
{
    CUDPBuffRef buffer;
    {
        CAutoLock lock(m_csPackets);
        if (m_nState != CS_SYNCHRONISED || m_nLastApplied >= m_nHighSeq)
            return false;
        const auto next = m_mapPending.find(m_nLastApplied + 1);
        if (next == m_mapPending.end())
            return false;
        buffer = next->second;
        ++m_nLastApplied;
    }
    PrintDirect(".");
    FeedData(buffer->GetData(), buffer->GetSize());
    return true;
}

void CQV_Client::FeedData(const uint8_t* packet, uint32_t length)
{
    try {
        if (length <= QVNET_StreamHeader::kSize)
            throw std::logic_error("Bad stream packet size!");
        m_Repository.ApplyRecords(packet + QVNET_StreamHeader::kSize, length - QVNET_StreamHeader::kSize);
    } catch (const std::logic_error& e) {
        LogFormatted("FeedData", LOG_ERR, "%s", e.what());
        RequestRestart();
    } catch (const std::exception&) {
        RequestRestart();
    }
}

// Applied packets stay kept until here, so that their late copies are still known as duplicates.
void CQV_Client::PurgeAppliedPackets()
{
    CAutoLock lock(m_csPackets);
    if (m_nState != CS_SYNCHRONISED)
        return;
    while (!m_mapPending.empty() && m_mapPending.begin()->first < m_nLastApplied)
        m_lstFreeBuffers.push_back(m_mapPending.extract(m_mapPending.begin()));
    m_nLowWater = std::max(m_nLowWater, m_nLastApplied);
}

// A buffer is reused only when the pool holds its last reference.
CQV_Client::CStreamBuffer CQV_Client::AcquireStreamBuffer()
{
    CAutoLock lock(m_csPackets);
    for (size_t i = m_lstFreeBuffers.size(); i-- > 0;) {
        if (m_lstFreeBuffers[i].mapped()->GetRefCount() == 1) {
            CStreamBuffer buffer = std::move(m_lstFreeBuffers[i]);
            if (i + 1 != m_lstFreeBuffers.size())
                m_lstFreeBuffers[i] = std::move(m_lstFreeBuffers.back());
            m_lstFreeBuffers.pop_back();
            return buffer;
        }
    }
    CPendingMap fresh;
    fresh.emplace(0, MakeUDPBuff(QVNET_StreamHeader::kMaxSize));
    return fresh.extract(fresh.begin());
}

void CQV_Client::ReturnStreamBuffer(CStreamBuffer buffer)
{
    CAutoLock lock(m_csPackets);
    m_lstFreeBuffers.push_back(std::move(buffer));
}

uint64_t CQV_Client::Now100ns() const
{
    return m_Environment.tickCount() * 10000;
}
