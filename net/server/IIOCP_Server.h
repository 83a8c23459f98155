#pragma once
// The server's whole network transport behind one interface: TCP clients admitted by the INIT
// handshake and known to the application by a 64-bit client id (slot index in the high word,
// the slot's connection number in the low word), client groups, statistics, and the
// multicast sender. The application implements the two callback interfaces.

#include "Subsidiary/UDPBuff.h"

#include <cstdint>
#include <map>
#include <set>

/// Gets the packets of admitted clients and hears of their connect and close.
class IIOCP_Receiver {
public:
    virtual ~IIOCP_Receiver() = default;
    /// One USER packet's payload; non-zero keeps the connection, 0 has it closed. Worker
    /// threads, one packet of a connection at a time.
    virtual int32_t OnReceivePkt(uint64_t clientId, const uint8_t* payload, uint32_t length) = 0;
    /// Right after a successful INIT. Worker threads.
    virtual void OnClientConnected(uint64_t clientId, uint32_t clientType) = 0;
    /// A client that had been admitted has left its slot. The listen thread; for a slot that
    /// the stop closes after the listen thread has ended, the thread calling Stop.
    virtual void OnConnectionClosed(uint64_t clientId, uint32_t clientType, bool exiting) = 0;
};

/// Admits clients at INIT.
class IIOCP_ConnHandler {
public:
    virtual ~IIOCP_ConnHandler() = default;
    /// The INIT result (0 admits) and, when admitting, the receiver of this client's packets.
    /// `peerAddress` is IPv4 in network order. Worker threads.
    virtual uint32_t OnClientInit(uint32_t clientType, uint16_t clientKind, bool isLocal,
                                  uint64_t hardwareAddress, uint32_t peerAddress,
                                  IIOCP_Receiver** receiver) = 0;
};

/// Client id -> hardware address, as GetClients fills it.
using CClientHardwareMap = std::map<uint64_t, uint64_t>;

/// Results are EIOCPE codes (Subsidiary/NetErrors.h) unless said otherwise. Any thread unless
/// said otherwise; Start and Stop from the one controlling thread.
class IIOCP_Server {
public:
    virtual ~IIOCP_Server() = default;
    /// 0; 37 when the slots cannot be allocated; 1 on any other failure, leaving nothing running.
    virtual uint32_t Start() = 0;
    /// Stops the listen thread, the workers and the slots; 0. A later Start serves again, on
    /// the same port with the same slots.
    virtual uint32_t Stop() = 0;
    /// 47 for a payload above 1 MiB - 10 bytes (CSessionHeader::kMaxPayload); 46 when the id
    /// has no admitted slot; else 0, 1 (empty payload), 37 or 46.
    virtual uint32_t SendToClient(uint64_t clientId, const void* payload, uint32_t length) = 0;
    /// 0; 47 as SendToClient; 1 while exiting.
    virtual uint32_t SendToGroup(int32_t groupId, const void* payload, uint32_t length) = 0;
    /// 0; 47 as SendToClient; 46 while exiting.
    virtual uint32_t SendToAll(const void* payload, uint32_t length) = 0;
    /// Without `close`: graceful, after the send backlog; with it: at once, also while a
    /// graceful close waits for the client to leave. 0, or 46.
    virtual uint32_t DisconnectClient(uint64_t clientId, bool close) = 0;
    /// The same for every connected slot, admitted or not; 0.
    virtual uint32_t DisconnectAll(bool close) = 0;
    /// Each membership is counted; 1.
    virtual uint32_t AddClientToGroups(uint64_t clientId, const std::set<int32_t>& groups) = 0;
    /// Drops one count per group; an emptied group goes; 1.
    virtual uint32_t RemoveClientFromGroups(uint64_t clientId, const std::set<int32_t>& groups) = 0;
    /// Drops every membership whatever its count; 1.
    virtual uint32_t RemoveClientFromAllGroups(uint64_t clientId) = 0;
    /// Members of the group; 0 when there is no such group.
    virtual uint32_t GetGroupSize(int32_t groupId) = 0;
    /// Peer IPv4 address (network order); 0 if not found.
    virtual uint32_t GetClientAddress(uint64_t clientId) = 0;
    /// 0 if not found.
    virtual uint64_t GetClientHardwareAddress(uint64_t clientId) = 0;
    /// Adds every connected client with sending enabled (type 0: all, else only that type).
    virtual void GetClients(uint32_t clientType, CClientHardwareMap& clients) = 0;
    /// 0 if not found.
    virtual uint32_t GetClientType(uint64_t clientId) = 0;
    /// Whether the peer is on one of the server's local networks; false if not found.
    virtual bool IsClientLocal(uint64_t clientId) = 0;
    /// First connected client with that peer address (network order); 0 if none.
    virtual uint64_t FindClientByAddress(uint32_t address) = 0;
    /// 0 if none.
    virtual uint64_t FindClientByHardwareAddress(uint64_t hardwareAddress) = 0;
    /// 128 while exiting; else the multicast sender's start result.
    virtual uint32_t StartMulticast(uint32_t interfaceAddress, uint16_t port) = 0;
    /// Stops the multicast sender if it runs.
    virtual void StopMulticast() = 0;
    /// Queues the datagram (to its tag's address); the sender keeps a reference until it has left.
    virtual uint32_t SendMulticast(IIOCP_UDPBuffer* buffer) = 0;
    /// One log line per slot.
    virtual void DescribeClients() = 0;
    /// The statistics text, cut to size - 1 characters and zero-terminated.
    virtual void GetStatistics(char* text, uint32_t size) = 0;
};

/// Maintenance period and limits of the listen thread, in milliseconds.
struct CIOCPServerTimings {
    uint32_t nMaintenancePeriodMs = 50000;
    uint32_t nAcceptLimitMs = 50000;      ///< connected without first bytes
    uint32_t nAdmitLimitMs = 50000;       ///< connected but not admitted
    uint32_t nSendHangLimitMs = 3600000;  ///< one send in flight
    uint32_t nCloseLimitMs = 50000;       ///< sending ended by a graceful close, the peer still there
    /// Steps of the stop: connected slots are closed by force at the fifth, the listen thread
    /// leaves after the eighth.
    uint32_t nExitTickMs = 1000;
};

/// A stopped server listening on `port` of `interfaceAddress` (network order;
/// 255.255.255.255: any) once started; null with `error` set: 47 for a port outside 1-65535,
/// a slot count below 1, a negative worker count (0: one per processor) or no handler; 37; 1.
/// The controlling thread.
IIOCP_Server* CreateIOCPServer(int32_t port, uint32_t interfaceAddress, int32_t workers,
                               int32_t slots, IIOCP_ConnHandler* handler, uint32_t* error,
                               const CIOCPServerTimings& timings = {});
