// The snapshot side of CQV_Server: a joining client asks for the store, which is rendered
// once at a known stream position and then sent one packet per request, ending with the
// position the client continues the stream from.

#include "server/QV_Server.h"

#include "net/common/QVNET_SeqPkt.h"
#include "platform/Clock.h"
#include "platform/FreeMemory.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"

#include <utility>
#include <vector>

namespace {

constexpr const char* kSendOrigin = "CQV_Server::SendSyncCompletePkt";

} // namespace

int32_t CQV_Server::OnSyncRequestPkt(uint64_t clientId)
{
    CAutoLock syncLock(m_csSyncClientsMap);
    m_mapSyncClients.erase(clientId); // a repeated request starts over
    CSyncEntry& entry = m_mapSyncClients[clientId];
    entry.m_nLastAskedMs = platform::GetTickCount64();
    bool generated = false;
    {
        // No change is applied and no stream packet numbered while the store is rendered, so
        // the snapshot holds exactly the stream below its number.
        CAutoLock objectsLock(m_Repository.GetObjectsLock());
        CAutoLock packetsLock(m_csPackets);
        generated = TakeSnapshot(entry);
    }
    // A failed entry goes when the closed connection is reported.
    if (!generated)
        return 0;
    return OnNextSyncPkt(clientId);
}

// Every change of the store writes a record into the stream, so a store that sent no packet
// since the last rendering, and has no record waiting, still holds what that rendering shows.
// A join storm then renders once instead of once per client, with the stream held still.
bool CQV_Server::TakeSnapshot(CSyncEntry& entry)
{
    m_Repository.FlushStream(); // a waiting record goes out and counts as a packet
    if (m_bSharedSnapshot && m_nSharedSnapshotStream == m_nStreamPackets) {
        entry.m_nSeq = m_SharedSnapshot.m_nSeq;
        entry.m_lstPackets = m_SharedSnapshot.m_lstPackets;
        return true;
    }
    ReleaseSharedSnapshot(); // so that the new rendering can reuse its buffers
    if (!m_Repository.GenerateSyncSnapshot(entry))
        return false;
    m_SharedSnapshot.m_nSeq = entry.m_nSeq;
    m_SharedSnapshot.m_lstPackets = entry.m_lstPackets;
    m_bSharedSnapshot = true;
    m_nSharedSnapshotStream = m_nStreamPackets;
    return true;
}

void CQV_Server::ReleaseSharedSnapshot()
{
    for (CUDPBuffRef& packet : m_SharedSnapshot.m_lstPackets) {
        if (packet->GetRefCount() == 1)
            PoolBuffer(std::move(packet));
    }
    m_SharedSnapshot = CSyncEntry();
    m_bSharedSnapshot = false;
}

// The packet is sent outside m_csSyncClientsMap, so that the workers serving a join storm send
// side by side; the handler's reference keeps the packet alive meanwhile.
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
        entry.m_nLastAskedMs = platform::GetTickCount64();
        if (entry.m_lstPackets.empty()) {
            const uint64_t seq = entry.m_nSeq;
            m_mapSyncClients.erase(found);
            SendSyncCompletePkt(clientId, seq);
            return 1;
        }
        sent = std::move(entry.m_lstPackets.front());
        entry.m_lstPackets.pop_front();
    }
    // A fatal failure closes the connection in the transport; the client's next request then
    // never comes.
    if (const uint32_t error = m_pNetServer->SendToClient(clientId, sent->GetData(), sent->GetSize());
        error != EIOCPE_SUCCESS)
        LogMessage(GetErrorText(error), LOG_ERR, kSendOrigin);
    ReleaseSentPacket(std::move(sent));
    return 1;
}

// A snapshot packet's references are dropped under m_csSyncClientsMap only, so the counts read
// here are exact: the last holder gives the buffer back to the pool, which then holds it once.
// Each client holds the last packet of its rendering until it has sent it; when only the shared
// rendering holds it besides, nobody pulls that rendering any more.
void CQV_Server::ReleaseSentPacket(CUDPBuffRef sent)
{
    CAutoLock lock(m_csSyncClientsMap);
    const bool lastOfShared = m_bSharedSnapshot && !m_SharedSnapshot.m_lstPackets.empty() &&
                              m_SharedSnapshot.m_lstPackets.back().Get() == sent.Get();
    if (lastOfShared && sent->GetRefCount() == 2) {
        CAutoLock packetsLock(m_csPackets);
        ReleaseSharedSnapshot();
    }
    if (sent->GetRefCount() == 1)
        ReturnStreamBuffer(std::move(sent));
    else
        sent.Reset();
}

// Every client holds the last packet of its rendering until it has sent it, so a last packet
// that only the shared rendering holds is pulled by nobody.
void CQV_Server::ForgetSyncClient(std::map<uint64_t, CSyncEntry>::iterator client)
{
    m_mapSyncClients.erase(client);
    if (m_bSharedSnapshot && !m_SharedSnapshot.m_lstPackets.empty() &&
        m_SharedSnapshot.m_lstPackets.back()->GetRefCount() == 1) {
        CAutoLock packetsLock(m_csPackets);
        ReleaseSharedSnapshot();
    }
}

void CQV_Server::DropIdleSyncClients()
{
    std::vector<uint64_t> idle;
    {
        CAutoLock lock(m_csSyncClientsMap);
        // Read under the lock that the requests stamp their entries under, so no stamp is later.
        const uint64_t now = platform::GetTickCount64();
        for (auto client = m_mapSyncClients.begin(); client != m_mapSyncClients.end();) {
            const auto current = client++;
            if (now - current->second.m_nLastAskedMs >= static_cast<uint64_t>(m_Timings.nSyncIdleLimitMs)) {
                idle.push_back(current->first);
                ForgetSyncClient(current);
            }
        }
    }
    for (const uint64_t clientId : idle) {
        LogMessage(FormatString("Client %llu asked for no snapshot packet for %lld ms, disconnecting client!",
                                static_cast<unsigned long long>(clientId),
                                static_cast<long long>(m_Timings.nSyncIdleLimitMs)),
                   LOG_ERR, "CQV_Server::DropIdleSyncClients");
        m_pNetServer->DisconnectClient(clientId, false);
    }
    bool freed;
    {
        CAutoLock lock(m_csPackets);
        freed = std::exchange(m_bBuffersFreed, false);
    }
    if (freed || !idle.empty())
        platform::ReleaseFreeMemory();
}

void CQV_Server::SendSyncCompletePkt(uint64_t clientId, uint64_t seq)
{
    const auto packet = QVNET_SyncCompletePkt::Build(seq);
    if (const uint32_t error = m_pNetServer->SendToClient(clientId, packet.data(), QVNET_SyncCompletePkt::kSize);
        error != EIOCPE_SUCCESS)
        LogMessage(GetErrorText(error), LOG_ERR, kSendOrigin);
}
