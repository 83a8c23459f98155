#pragma once
// The server's network transport behind IIOCP_Server: a fixed array of connection slots on one
// completion port served by a worker pool, a listen thread that owns the listening socket,
// delivers the closed-client notices and runs the periodic slot maintenance, the multicast
// sender, the client groups and the statistics.
//
// Lock order: a slot's lock may be held while the server lock (groups), the notice queue's
// lock or the dropped-clients lock is taken, never the other way round; the application's
// callbacks run without any of them.

#include "net/server/IIOCP_Server.h"
#include "net/server/IOCPClientConnection.h"
#include "net/server/IOCPClientGroups.h"
#include "net/server/IOCPClientMulticast.h"
#include "net/server/IOCPNoticeQueue.h"
#include "net/server/IOCPSendStuckList.h"
#include "net/server/IOCPThreadPool.h"
#include "net/server/IOCP_SlotOwner.h"
#include "net/common/SessionProtocol.h"
#include "platform/CompletionPort.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/WaitableTimer.h"
#include "Subsidiary/AutoMutex.h"

#include <atomic>
#include <cstdint>
#include <memory>

class CIOCPServer_win final : public IIOCP_Server, public IIOCP_SlotOwner {
public:
    /// A stopped server; `workers` 0 means one per processor. The creating thread.
    CIOCPServer_win(uint16_t port, uint32_t interfaceAddress, uint32_t workers, uint32_t slots,
                    IIOCP_ConnHandler* handler, const CIOCPServerTimings& timings);
    /// Stops the server first. The controlling thread.
    ~CIOCPServer_win() override;
    CIOCPServer_win(const CIOCPServer_win&) = delete;
    CIOCPServer_win& operator=(const CIOCPServer_win&) = delete;

    /// Initialises the multicast sender; false after logging. The creating thread, once.
    bool Init();

    uint32_t Start() override;
    uint32_t Stop() override;
    uint32_t SendToClient(uint64_t clientId, const void* payload, uint32_t length) override;
    uint32_t SendToGroup(int32_t groupId, const void* payload, uint32_t length) override;
    uint32_t SendToAll(const void* payload, uint32_t length) override;
    uint32_t DisconnectClient(uint64_t clientId, bool close) override;
    uint32_t DisconnectAll(bool close) override;
    uint32_t AddClientToGroups(uint64_t clientId, const std::set<int32_t>& groups) override;
    uint32_t RemoveClientFromGroups(uint64_t clientId, const std::set<int32_t>& groups) override;
    uint32_t RemoveClientFromAllGroups(uint64_t clientId) override;
    uint32_t GetGroupSize(int32_t groupId) override;
    uint32_t GetClientAddress(uint64_t clientId) override;
    uint64_t GetClientHardwareAddress(uint64_t clientId) override;
    void GetClients(uint32_t clientType, CClientHardwareMap& clients) override;
    uint32_t GetClientType(uint64_t clientId) override;
    bool IsClientLocal(uint64_t clientId) override;
    uint64_t FindClientByAddress(uint32_t address) override;
    uint64_t FindClientByHardwareAddress(uint64_t hardwareAddress) override;
    uint32_t StartMulticast(uint32_t interfaceAddress, uint16_t port) override;
    void StopMulticast() override;
    uint32_t SendMulticast(IIOCP_UDPBuffer* buffer) override;
    void DescribeClients() override;
    void GetStatistics(char* text, uint32_t size) override;

    platform::CompletionPort* GetCompletionPort() override { return m_port.get(); }
    bool IsExiting() const override { return m_bExiting.load(); }
    platform::SOCKET GetListenSocket() const override { return m_listenSocket.load(); }
    IIOCP_ConnHandler* GetConnHandler() const override { return m_pHandler; }
    const char* GetSignature() const override { return m_szSignature; }
    uint16_t GetExpectedClientKind() const override { return m_nExpectedClientKind; }
    void OnClientClosed(const CIOCPClosedNotice& notice) override;

private:
    /// Holds the slot array for one operation of the application's threads: empty while
    /// there are no slots or the server exits, and Stop frees the array only once no
    /// operation holds it.
    class CSlotAccess {
    public:
        explicit CSlotAccess(CIOCPServer_win& server);
        ~CSlotAccess();
        CSlotAccess(const CSlotAccess&) = delete;
        CSlotAccess& operator=(const CSlotAccess&) = delete;
        explicit operator bool() const { return m_pSlots != nullptr; }
        CIOCPClientConnection* begin() const { return m_pSlots; }
        CIOCPClientConnection* end() const { return m_pSlots + m_nCount; }
        /// The slot of a 1-based index; null when the index is out of range.
        CIOCPClientConnection* Find(uint32_t index) const;

    private:
        CIOCPServer_win& m_server;
        CIOCPClientConnection* m_pSlots = nullptr;
        uint32_t m_nCount = 0;
    };

    /// Runs operation(slot) under the lock of the slot that holds the client admitted (with
    /// `closing`, also while a graceful close waits for the client to leave).
    template <class Operation>
    bool OnClient(uint64_t clientId, Operation&& operation, bool closing = false);
    /// The admitted client of the id; all zero when there is none.
    CIOCPConnectedClient ClientOf(uint64_t clientId);
    /// The id of the first connected client with sending enabled that matches; 0 if none.
    template <class Predicate>
    uint64_t FindClient(Predicate&& matches);

    /// The slot array for the server's own threads, which run only while it exists.
    template <class Operation>
    void ForEachSlot(Operation&& operation)
    {
        CIOCPClientConnection* slots = m_pSlots.load();
        for (uint32_t i = 0; slots != nullptr && i < m_nSlotCount; ++i)
            operation(slots[i]);
    }
    /// 255.255.255.255 stands for any address.
    static uint32_t InterfaceOrAny(uint32_t address) { return address == 0xFFFFFFFFu ? platform::kAnyAddress : address; }

    bool AllocateSlots();
    /// Leaves nothing running: listening socket, multicast sender, slots, workers, port.
    void StopTransport();
    bool StartListenThread();
    void CloseListenThreadHandles();

    // The listen thread (IOCPServer_winListen.cpp).
    uint32_t ListenThread();
    void RunListenLoop(platform::WaitableTimer& timer);
    bool ArmTimer(platform::WaitableTimer& timer, int64_t delayMs);
    bool InitListenSocket();
    void CloseListenSocket();
    void SlotSocketMaintenance();
    void BeginShutdown();
    bool OnExitTick(uint32_t tick);
    bool AllSlotsIdle();
    void DeliverNotices();

    CIOCPThreadPool m_pool;
    // The settings stay as they were created, so that a Start after a Stop serves again.
    const uint32_t m_nInterfaceAddress;
    const uint16_t m_nPort;
    uint16_t m_nExpectedClientKind = kSessionClientKind;
    IIOCP_ConnHandler* m_pHandler;
    char m_szSignature[kSessionSignatureField] = {};
    const uint32_t m_nWorkers; ///< 0: one per processor
    const CIOCPServerTimings m_timings;
    std::unique_ptr<platform::CompletionPort> m_port;
    std::atomic<bool> m_bExiting{false};
    std::unique_ptr<platform::Thread> m_listenThread;
    std::unique_ptr<platform::Event> m_stopEvent;    ///< auto-reset
    std::unique_ptr<platform::Event> m_startedEvent; ///< auto-reset: start-up done, and again at the end
    std::atomic<platform::SOCKET> m_listenSocket{platform::INVALID_SOCKET};
    std::atomic<bool> m_bListenStartFailed{true};
    const uint32_t m_nSlotCount;
    std::atomic<CIOCPClientConnection*> m_pSlots{nullptr};
    std::atomic<int32_t> m_nSlotUsers{0}; ///< operations holding the slot array (CSlotAccess)
    CIOCPClientMulticast m_multicast;
    CAutoMutex m_cs; // the server lock
    // guarded by m_cs
    CIOCPClientGroups m_groups;
    // with locks of their own
    CIOCPNoticeQueue m_notices;
    CIOCPSendStuckList m_sendStuck;
};
