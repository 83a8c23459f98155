#pragma once
// The server's central object and its main thread. It owns the store, the data feed and the
// network server, admits every client, and turns closed store packets into the numbered
// multicast stream: a pool of packet buffers, the sequence counter, a history of the last 500
// packets for retransmission, heartbeats while the stream is idle, and the snapshots of
// joining clients. Its own thread only starts the modules, sends heartbeats and stops the
// modules; packets are handled on the transport's workers, the stream is sent on the store's
// threads.

#include "net/common/QVNET_SeqPkt.h"
#include "net/server/IIOCP_Server.h"
#include "server/DataFeed.h"
#include "server/ServerTimings.h"
#include "server/Settings.h"
#include "store/StreamCore.h"
#include "store/SyncEntry.h"
#include "store/server/ObjectsRepository.h"
#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/ThreadBase.h"
#include "Subsidiary/UDPBuff.h"

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>

/// Makes the stopped network server, as CreateIOCPServer does: null with `error` set on failure.
using CNetServerFactory = std::function<IIOCP_Server*(int32_t port, uint32_t interfaceAddress, int32_t workers,
                                                      int32_t slots, IIOCP_ConnHandler* handler, uint32_t* error)>;

class CQV_Server : public CThreadBase, public IIOCP_ConnHandler, public IIOCP_Receiver, public IStreamCore {
public:
    /// Both must outlive the object; the settings are read from Init on. Any thread.
    CQV_Server(const CSettings& settings, CNetServerFactory factory, CServerTimings timings = {});
    /// Stops what still runs. The controlling thread.
    ~CQV_Server() override;

    /// Creates the network server from the settings; false after logging why (the store is
    /// cleaned up then). The console thread, once, before Start.
    bool Init();
    /// Destroys the network server, empties the store, the buffer pool and the history. The
    /// console thread, after the main thread and the feed have stopped.
    void Deinit();

    /// The console thread.
    CDataFeed& GetDataFeed() { return m_DataFeed; }
    /// Any thread, with the store's own locking.
    CObjectsRepository& GetRepository() { return m_Repository; }

    // IIOCP_ConnHandler: admits every client with this object as its receiver. Worker threads.
    uint32_t OnClientInit(uint32_t clientType, uint16_t clientKind, bool isLocal, uint64_t hardwareAddress,
                          uint32_t peerAddress, IIOCP_Receiver** receiver) override;

    // IIOCP_Receiver.
    /// Dispatches one application packet; 0 has the connection closed. Worker threads.
    int32_t OnReceivePkt(uint64_t clientId, const uint8_t* payload, uint32_t length) override;
    /// Worker threads.
    void OnClientConnected(uint64_t clientId, uint32_t clientType) override;
    /// Drops the client's snapshot, if any. The listen thread.
    void OnConnectionClosed(uint64_t clientId, uint32_t clientType, bool exiting) override;

    // IStreamCore, each taking m_csPackets itself. Store threads, with the objects lock held.
    CUDPBuffRef AcquireStreamBuffer() override;
    void SendStreamPacket(CUDPBuff& packet) override;
    void ReturnStreamBuffer(CUDPBuffRef buffer) override;
    uint64_t GetNextStreamSeq() override;
    uint32_t GetMulticastGroupAddress() override;

protected:
    int32_t DoRun() override;

private:
    static constexpr uint64_t kFirstSeq = kFirstStreamSeq; ///< of each server run, and after an abandoned stream
    static constexpr uint64_t kHistorySize = 500;          ///< packets kept for retransmission
    static constexpr int64_t kHeartbeatPeriodMs = 250;     ///< of an idle stream
    /// Buffers the pool keeps for reuse; a burst's buffers beyond it go back to the system.
    static constexpr size_t kPoolLimit = 2 * kHistorySize;

    // Main thread.
    int32_t StartModules();
    void StopModules();
    bool OpenTimers();
    void CloseTimers();
    bool ArmTimers();
    void PrepareHeartbeat();
    void RunMainLoop();
    void OnHeartbeatTimer();
    /// Drops the snapshots whose clients stopped asking, and disconnects those clients.
    void DropIdleSyncClients();
    /// m_csPackets held.
    void SendHeartbeatUDP();

    // Stream history, m_csPackets held.
    void UDPReleaseExtraBuffers();
    void AbandonStream();
    /// The next heartbeat one period from now, if the main thread runs.
    void RearmHeartbeat();
    /// Keeps the buffer for reuse, unless the pool holds enough already.
    void PoolBuffer(CUDPBuffRef buffer);

    // Packet handlers, worker threads: 1 keeps the connection, 0 closes it.
    int32_t OnRetransmitPkt(const uint8_t* packet, uint32_t length);
    int32_t OnSyncRequestPkt(uint64_t clientId);
    int32_t OnNextSyncPkt(uint64_t clientId);
    /// Fills the entry with the last rendering while the store is as it was then, else with a
    /// new one. m_csSyncClientsMap, the store's lock and m_csPackets held.
    bool TakeSnapshot(CSyncEntry& entry);
    /// Lets go of the last rendering; its buffers that nobody else holds return to the pool.
    /// m_csSyncClientsMap and m_csPackets held.
    void ReleaseSharedSnapshot();
    /// Drops the handler's reference to a sent snapshot packet.
    void ReleaseSentPacket(CUDPBuffRef sent);
    /// Removes a client's snapshot, and the last rendering once no client pulls it any more.
    /// m_csSyncClientsMap held.
    void ForgetSyncClient(std::map<uint64_t, CSyncEntry>::iterator client);
    void SendSyncCompletePkt(uint64_t clientId, uint64_t seq);

    const CSettings& m_Settings;
    CNetServerFactory m_NetServerFactory;
    const CServerTimings m_Timings;
    HANDLE m_hSweepTimer = nullptr; ///< the main thread's, while it runs

    std::unique_ptr<IIOCP_Server> m_pNetServer; ///< from Init to Deinit
    CObjectsRepository m_Repository;
    CDataFeed m_DataFeed;

    CMonitoredMutex m_csPackets;
    // guarded by m_csPackets:
    std::list<CUDPBuffRef> m_lstFreeBuffers; ///< reusable once the pool's is the last reference
    uint64_t m_nFirstHistorySeq = kFirstSeq;  ///< lowest number not yet trimmed
    uint64_t m_nNextSeq = kFirstSeq;          ///< the next stream packet's number
    uint64_t m_nStreamPackets = 0;            ///< handed to the stream sender so far, never reset
    std::map<uint64_t, CUDPBuffRef> m_mapHistory;
    CUDPBuffRef m_HeartbeatBuff;              ///< the one 13-byte heartbeat, reused
    HANDLE m_hTimer = nullptr;                ///< heartbeat; while the main thread runs its modules
    bool m_bBuffersFreed = false;             ///< since the free memory was last handed back

    CMonitoredMutex m_csSyncClientsMap;
    // guarded by m_csSyncClientsMap:
    std::map<uint64_t, CSyncEntry> m_mapSyncClients; ///< clients receiving their snapshot
    /// The last rendering, given to every client that asks while nothing has gone into the
    /// stream since, and kept until its last client has its last packet; its packets are only
    /// read once rendered.
    CSyncEntry m_SharedSnapshot;
    bool m_bSharedSnapshot = false;
    uint64_t m_nSharedSnapshotStream = 0; ///< m_nStreamPackets when it was rendered
};
