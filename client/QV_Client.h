#pragma once
// The client core. It owns the multicast receiver, the TCP connection and the replica, and
// its thread runs the client's event loop. The connection pulls a snapshot of the server's
// store, labelled with the stream position Q at which it was taken; meanwhile the receive
// thread keeps every stream packet under its sequence number. Once the snapshot is complete
// the main thread applies the kept packets from Q on, one by one in sequence order, asks the
// server over TCP for the numbers that went missing, and restarts the connections when the
// losses are too many to repair or the server sends something malformed.

#include "client/ClientEnvironment.h"
#include "net/client/IIOCP_ClientConnection.h"
#include "net/client/UDPPacketsReceiver.h"
#include "net/client/UDP_Receiver.h"
#include "store/client/ObjectsRepository.h"
#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/ThreadBase.h"
#include "Subsidiary/UDPBuff.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CSettings;

/// Stream states of the client core.
enum ECLIENT_STATE : int32_t {
    CS_NOT_CONNECTED = 0, ///< no TCP session; datagrams are ignored
    CS_SYNCHRONISING = 1, ///< snapshot requested; stream packets are kept, not applied
    CS_SYNCHRONISED = 2,  ///< snapshot complete; kept packets are applied in sequence order
    CS_RESTARTING = 3,    ///< the connections are about to be restarted; everything is ignored
};

class CQV_Client : public CThreadBase, public IUDPPacketsReceiver, public IIOCP_ClientReceiver {
public:
    CQV_Client();
    /// Stops the thread if it runs and releases what Shutdown has not. The controlling thread.
    ~CQV_Client() override;

    /// Creates the events and timers, initialises the receiver and creates the connection;
    /// false after the failure was logged. The console thread, before Start.
    bool Init(const CSettings& settings, CClientEnvironment environment = MakeClientEnvironment());
    /// Stops the receiver, destroys the connection, closes the handles and empties the
    /// replica. The console thread, after Stop.
    void Shutdown();
    /// The console thread saves it; other threads only through the core.
    CObjectsRepository& GetRepository() { return m_Repository; }

    /// Asks the main thread to restart the connections; requests made while a restart is
    /// pending, or without a session, change nothing. Any thread.
    void RequestRestart();
    /// Any thread.
    int32_t GetState();

    /// Receive thread.
    void OnUDPAsyncError(uint32_t error) override;
    /// Splits the datagram into packets and keeps the stream packets. Receive thread.
    void OnUDPPktReceived(const uint8_t* data, uint32_t length) override;

    /// Snapshot packets and the snapshot's completion. Connection thread.
    void OnReceivePkt(const uint8_t* payload, uint32_t length, uint32_t tag) override;
    /// Connection thread.
    void OnConnectFailed(uint32_t error, uint32_t tag) override;
    /// Connection thread.
    void OnDisconnected(uint32_t error, uint32_t tag) override;
    /// Forgets the stream and requests a snapshot. Connection thread.
    void OnConnected(uint32_t tag) override;

protected:
    int32_t DoRun() override;

    // The steps of the event loop. The main thread, or a test's thread while the loop does
    // not run.

    /// Starts the receiver and the first connection attempt; 0 or -1 after logging.
    int32_t StartModules();
    /// Stops the receiver and closes the connection without callbacks.
    void StopModules();
    /// On the restart event: ends the session; the next attempt follows 10 s later.
    void RestartConnections();
    /// On the connect timer: the next connection attempt, or a failed disconnect again.
    void OnConnectTimer();
    /// Applies the packet after the last applied one, if it is here; false when none is.
    bool ApplyNextPacket();
    /// Asks for the missing packets that are due; restarts when they are too many or one
    /// was asked for too often.
    void SendRetransmitPkt();
    /// Gives the buffers of applied packets back to the pool.
    void PurgeAppliedPackets();
    /// Restarts when a synchronised stream has been silent for too long.
    void CheckStreamStall();

    struct CStreamCounters {
        uint64_t nLastApplied;
        uint64_t nLowWater;
        uint64_t nHighSeq;
        size_t nPending;
        size_t nMissing;
        size_t nFreeBuffers;
    };
    /// Any thread.
    CStreamCounters GetStreamCounters();

private:
    struct CMissingPacket {
        uint32_t nCount = 0;       ///< requests sent so far
        uint64_t nLastRequest = 0; ///< monotonic time of the last one, 100 ns units
    };
    using CPendingMap = std::map<uint64_t, CUDPBuffRef>;
    /// A pending map entry with its buffer, kept by the pool so that no packet allocates.
    using CStreamBuffer = CPendingMap::node_type;

    bool CreateHandles();
    void CloseHandles();
    void DisconnectForRestart();
    /// Sets the state and forgets the stream and the replica.
    void ResetStreamState(int32_t state);

    bool OnUDPSinglePktReceived(const uint8_t* packet, uint32_t length);
    bool OnStreamPkt(const uint8_t* packet, uint32_t length);
    bool OnHeartbeatPkt(const uint8_t* packet, uint32_t length);
    /// Records every number from `top` down that is neither kept nor recorded yet; false when
    /// they are too many and a restart was asked for, which ends the datagram's walk.
    bool RecordMissingPackets(uint64_t top);
    void OnSnapshotPkt(const uint8_t* packet, uint32_t length);
    void OnSyncComplete(uint64_t seq);
    void SendSyncRequest(uint8_t id);
    /// Applies one packet's records; a refusal is logged and restarts the connections.
    void FeedData(const uint8_t* packet, uint32_t length);
    CStreamBuffer AcquireStreamBuffer();
    void ReturnStreamBuffer(CStreamBuffer buffer);
    uint64_t Now100ns() const;

    CUDP_Receiver m_Receiver;
    CMonitoredMutex m_csPackets;
    // guarded by m_csPackets:
    std::vector<CStreamBuffer> m_lstFreeBuffers;
    uint64_t m_nLastApplied = 0; ///< last stream packet applied; 0 = no snapshot started
    uint64_t m_nLowWater = 0;    ///< packets below it (and not above m_nLastApplied) are ignored
    uint64_t m_nHighSeq = 0;     ///< highest number seen; 0 = nothing since the last reset
    CPendingMap m_mapPending;
    std::map<uint64_t, CMissingPacket> m_mapMissing;
    /// Every number above m_nLastApplied up to it is kept or recorded missing, so gap scans
    /// never walk a number twice; 0 = nothing scanned since m_nLastApplied was last set.
    uint64_t m_nScannedTo = 0;
    uint64_t m_nLastDatagramTick = 0; ///< when the last datagram came, ms

    HANDLE m_hApplyEvent = nullptr;
    HANDLE m_hRetransmitEvent = nullptr;
    HANDLE m_hPurgeTimer = nullptr;
    HANDLE m_hRetransmitTimer = nullptr;
    HANDLE m_hRestartEvent = nullptr;
    HANDLE m_hConnectTimer = nullptr;
    int32_t m_nState = CS_NOT_CONNECTED; // guarded by m_csPackets
    IIOCP_ClientConnection* m_pConnection = nullptr;
    CObjectsRepository m_Repository;

    // Set by Init, then only read.
    CClientEnvironment m_Environment;
    std::string m_strServerAddr;
    uint16_t m_nServerPort = 0;
    /// A restart whose disconnect failed; the main thread's alone.
    bool m_bDisconnectPending = false;
};
