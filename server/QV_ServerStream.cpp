// The stream side of CQV_Server: the buffer pool, numbering and multicasting stream packets,
// the history they are retransmitted from, and the heartbeat.

#include "server/QV_Server.h"

#include "net/common/QVNET_RetransmitPkt.h"
#include "net/common/QVNET_SeqPkt.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"

#include <exception>
#include <new>
#include <stdexcept>

namespace {

constexpr const char* kRetransmitOrigin = "QVNET_RetransmitPkt";
constexpr const char* kTrimOrigin = "CQV_Server::UDPReleaseExtraBuffers()";

class CNoMem : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "no mem!"; }
};

} // namespace

CUDPBuffRef CQV_Server::AcquireStreamBuffer()
{
    CAutoLock lock(m_csPackets);
    if (CUDPBuffRef reused = TakeUnsharedBuffer(m_lstFreeBuffers))
        return reused;
    try {
        return MakeUDPBuff(QVNET_StreamHeader::kMaxSize);
    } catch (const std::bad_alloc&) {
        throw CNoMem();
    }
}

void CQV_Server::ReturnStreamBuffer(CUDPBuffRef buffer)
{
    CAutoLock lock(m_csPackets);
    PoolBuffer(std::move(buffer));
}

// A join storm or a large population needs many buffers at once; keeping them all would keep
// the peak for the life of the process.
void CQV_Server::PoolBuffer(CUDPBuffRef buffer)
{
    if (m_lstFreeBuffers.size() < kPoolLimit)
        m_lstFreeBuffers.push_back(std::move(buffer));
    else
        m_bBuffersFreed = true;
}

uint64_t CQV_Server::GetNextStreamSeq()
{
    CAutoLock lock(m_csPackets);
    return m_nNextSeq;
}

uint32_t CQV_Server::GetMulticastGroupAddress()
{
    return m_Settings.GetMulticastAddr();
}

void CQV_Server::SendStreamPacket(CUDPBuff& packet)
{
    CAutoLock lock(m_csPackets);
    // Counted also when the send fails: the store has moved on either way.
    ++m_nStreamPackets;
    // Null only while the main thread does not run (a failed start): there are no heartbeats then.
    if (m_hTimer != nullptr)
        StopTimerHandle(m_hTimer);
    m_mapHistory.insert_or_assign(m_nNextSeq, CUDPBuffRef::Share(&packet));
    QVNET_StreamHeader::WriteSeq(packet.GetData(), m_nNextSeq);
    for (int copy = 0; copy < 2; ++copy) {
        if (const uint32_t error = m_pNetServer->SendMulticast(&packet); error != EIOCPE_SUCCESS) {
            AbandonStream();
            // Heartbeats go on, carrying the number the stream starts over from: the clients
            // that resynchronise meanwhile would take a silent stream for a dead one and start
            // over again and again for as long as no packet goes out.
            RearmHeartbeat();
            throw std::logic_error(GetErrorText(error));
        }
    }
    ++m_nNextSeq;
    RearmHeartbeat();
    UDPReleaseExtraBuffers();
}

void CQV_Server::RearmHeartbeat()
{
    if (m_hTimer != nullptr)
        StartTimerHandle(m_hTimer, kHeartbeatPeriodMs);
}

// A packet that could not be multicast leaves a hole nobody can repair: the numbering starts
// over and every client resynchronises.
void CQV_Server::AbandonStream()
{
    m_mapHistory.clear();
    m_nFirstHistorySeq = kFirstSeq;
    m_nNextSeq = kFirstSeq;
    m_pNetServer->DisconnectAll(false);
}

void CQV_Server::UDPReleaseExtraBuffers()
{
    try {
        while (m_nNextSeq - m_nFirstHistorySeq > kHistorySize) {
            if (auto found = m_mapHistory.find(m_nFirstHistorySeq); found != m_mapHistory.end()) {
                PoolBuffer(found->second);
                m_mapHistory.erase(found);
            }
            ++m_nFirstHistorySeq;
        }
    } catch (const std::exception& e) {
        LogFormatted(kTrimOrigin, LOG_ERR, "Unable to remove packet from history buffer : %s", e.what());
    } catch (...) {
        LogMessage("Unable to remove packet from history buffer : Unknown exception!", LOG_ERR, kTrimOrigin);
    }
}

int32_t CQV_Server::OnRetransmitPkt(const uint8_t* packet, uint32_t length)
{
    if (length < QVNET_RetransmitPkt::kMinSize) {
        LogMessage("Bad pkt size!", LOG_ERR, kRetransmitOrigin);
        return 0;
    }
    const uint32_t count = QVNET_RetransmitPkt::Count(length);
    PrintDirect("%lu;", static_cast<unsigned long>(count));
    CAutoLock lock(m_csPackets);
    for (uint32_t i = 0; i < count; ++i) {
        auto found = m_mapHistory.find(QVNET_RetransmitPkt::ReadSeq(packet, i));
        if (found == m_mapHistory.end()) {
            LogMessage("Client is too far behind main feed, disconnect!", LOG_MSG, kRetransmitOrigin);
            return 0;
        }
        // A packet still queued in the sender goes out anyway.
        if (found->second->GetRefCount() != 1)
            continue;
        for (int copy = 0; copy < 2; ++copy) {
            if (const uint32_t error = m_pNetServer->SendMulticast(found->second.Get()); error != EIOCPE_SUCCESS)
                LogFormatted(kRetransmitOrigin, LOG_MSG, "SendMulticast failed : %s", GetErrorText(error));
        }
        PrintDirect("X");
    }
    return 1;
}

void CQV_Server::SendHeartbeatUDP()
{
    // The previous heartbeat is still queued in the sender: skip this one rather than queue it twice.
    if (m_HeartbeatBuff->GetRefCount() != 1)
        return;
    QVNET_HeartbeatPkt::WriteSeq(m_HeartbeatBuff->GetData(), m_nNextSeq);
    for (int copy = 0; copy < 2; ++copy) {
        if (const uint32_t error = m_pNetServer->SendMulticast(m_HeartbeatBuff.Get()); error != EIOCPE_SUCCESS)
            LogMessage(GetErrorText(error), LOG_ERR, "CQV_Server::SendHeartbeatUDP");
    }
}
