// The snapshot side of CQV_Server: a joining client asks for the store, which is rendered
// once at a known stream position and then sent one packet per request, ending with the
// position the client continues the stream from.

#include "server/QV_Server.h"

#include "net/common/QVNET_SeqPkt.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"

#include <utility>

namespace {

constexpr const char* kSendOrigin = "CQV_Server::SendSyncCompletePkt";

} // namespace

int32_t CQV_Server::OnSyncRequestPkt(uint64_t clientId)
{
    CAutoLock syncLock(m_csSyncClientsMap);
    m_mapSyncClients.erase(clientId); // a repeated request starts over
    CSyncEntry& entry = m_mapSyncClients[clientId];
    bool generated = false;
    {
        // No change is applied and no stream packet numbered while the store is rendered, so
        // the snapshot holds exactly the stream below its number.
        CAutoLock objectsLock(m_Repository.GetObjectsLock());
        CAutoLock packetsLock(m_csPackets);
        generated = m_Repository.GenerateSyncSnapshot(entry);
    }
    // A failed entry goes when the closed connection is reported.
    if (!generated)
        return 0;
    return OnNextSyncPkt(clientId);
}

int32_t CQV_Server::OnNextSyncPkt(uint64_t clientId)
{
    CUDPBuffRef sent;
    {
        CAutoLock lock(m_csSyncClientsMap);
        auto found = m_mapSyncClients.find(clientId);
        if (found == m_mapSyncClients.end()) {
            LogMessage("Bad state, not in synchronization!", LOG_ERR, "OnPkt_QVNET_NextSyncPkt");
            return 0;
        }
        CSyncEntry& entry = found->second;
        if (entry.m_lstPackets.empty()) {
            SendSyncCompletePkt(clientId, entry.m_nSeq);
            m_mapSyncClients.erase(found);
            return 1;
        }
        sent = std::move(entry.m_lstPackets.front());
        entry.m_lstPackets.pop_front();
        // A fatal failure closes the connection in the transport; the client's next request
        // then never comes.
        if (const uint32_t error = m_pNetServer->SendToClient(clientId, sent->GetData(), sent->GetSize());
            error != EIOCPE_SUCCESS)
            LogMessage(GetErrorText(error), LOG_ERR, kSendOrigin);
    }
    ReturnStreamBuffer(std::move(sent));
    return 1;
}

void CQV_Server::SendSyncCompletePkt(uint64_t clientId, uint64_t seq)
{
    const auto packet = QVNET_SyncCompletePkt::Build(seq);
    if (const uint32_t error = m_pNetServer->SendToClient(clientId, packet.data(), QVNET_SyncCompletePkt::kSize);
        error != EIOCPE_SUCCESS)
        LogMessage(GetErrorText(error), LOG_ERR, kSendOrigin);
}
