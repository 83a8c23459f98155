#include "net/server/IOCPServer_win.h"

#include "net/server/IOCPClientId.h"
#include "net/server/IOCPStatisticsText.h"
#include "platform/Process.h"
#include "platform/SocketError.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"
#include "Subsidiary/ThreadBase.h"

#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace {

const char* const kOrigin = "IOCP";

static_assert(sizeof kSessionSignature < kSessionSignatureField, "the signature and its terminator fit the field");

} // namespace

CIOCPServer_win::CIOCPServer_win(uint16_t port, uint32_t interfaceAddress, uint32_t workers, uint32_t slots,
                                 IIOCP_ConnHandler* handler, const CIOCPServerTimings& timings)
    : m_nInterfaceAddress(interfaceAddress), m_nPort(port), m_pHandler(handler), m_nWorkers(workers),
      m_timings(timings), m_nSlotCount(slots)
{
    std::memcpy(m_szSignature, kSessionSignature, sizeof kSessionSignature);
}

CIOCPServer_win::~CIOCPServer_win()
{
    Stop();
}

bool CIOCPServer_win::Init()
{
    return m_multicast.Init(this);
}

uint32_t CIOCPServer_win::Start()
{
    if (m_listenThread)
        return EIOCPE_FAIL;
    m_bExiting = false;
    const uint32_t processors = platform::GetProcessorCount();
    const uint32_t workers = m_nWorkers == 0 ? processors : m_nWorkers;
    LogMessage(FormatString("%lu processor(s) detected. Using %lu worker thread(s).",
                            static_cast<unsigned long>(processors), static_cast<unsigned long>(workers)),
               LOG_MSG, kOrigin);
    if (!AllocateSlots()) {
        LogMessage("Unable to allocate memory for clients slots!", LOG_ERR, kOrigin);
        return EIOCPE_NO_MEM;
    }
    m_port = platform::CompletionPort::Create();
    if (!m_port) {
        LogFormatted(kOrigin, "Can't create completion port! Error : %d!", platform::GetLastSocketError());
        StopTransport();
        return EIOCPE_FAIL;
    }
    if (!m_pool.Start(workers, this) || !StartListenThread()) {
        StopTransport();
        return EIOCPE_FAIL;
    }
    return EIOCPE_SUCCESS;
}

uint32_t CIOCPServer_win::Stop()
{
    if (!m_listenThread)
        return EIOCPE_SUCCESS;
    m_bExiting = true;
    m_stopEvent->Set();
    HANDLE ended = m_startedEvent.get();
    CThreadBase::WaitForHandles(&ended, 1);
    CloseListenThreadHandles();
    StopTransport();
    return EIOCPE_SUCCESS;
}

bool CIOCPServer_win::AllocateSlots()
{
    const uint32_t count = m_nSlotCount;
    auto* slots = new (std::nothrow) CIOCPClientConnection[count];
    if (slots == nullptr)
        return false;
    for (uint32_t i = 0; i < count; ++i)
        slots[i].Init(this, i + 1);
    m_pSlots.store(slots);
    return true;
}

void CIOCPServer_win::StopTransport()
{
    m_bExiting = true;
    CloseListenSocket();
    m_multicast.Stop(); // its send in flight completes through the workers
    // Closing a socket returns once its operations have completed, so closing every slot
    // before the workers get their end-of-work packets queues the slots' last completions
    // ahead of those packets: they are all handled before the slot array is freed.
    ForEachSlot([](CIOCPClientConnection& slot) { slot.Close(); });
    m_pool.Stop();
    CIOCPClientConnection* slots = m_pSlots.exchange(nullptr);
    while (m_nSlotUsers.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    delete[] slots;
    m_port.reset();
    DeliverNotices(); // of slots that closed after the listen thread had left
    m_notices.Close();
}

bool CIOCPServer_win::StartListenThread()
{
    m_stopEvent = platform::Event::Create(platform::ResetMode::Auto);
    m_startedEvent = platform::Event::Create(platform::ResetMode::Auto);
    if (!m_stopEvent || !m_startedEvent || !m_notices.Open()) {
        LogMessage("Can't create event objects for listen socket!", LOG_ERR, kOrigin);
        CloseListenThreadHandles();
        return false;
    }
    m_bListenStartFailed = true;
    m_listenThread = platform::Thread::Create([this] { return ListenThread(); });
    if (!m_listenThread) {
        LogMessage("Can't create thread object for listen thread!", LOG_ERR, kOrigin);
        CloseListenThreadHandles();
        return false;
    }
    HANDLE started = m_startedEvent.get();
    CThreadBase::WaitForHandles(&started, 1);
    if (m_bListenStartFailed) {
        CloseListenThreadHandles();
        LogMessage("Can't create thread object for listen socket!", LOG_ERR, kOrigin);
        return false;
    }
    return true;
}

void CIOCPServer_win::CloseListenThreadHandles()
{
    if (m_listenThread) {
        m_listenThread->Wait();
        m_listenThread.reset();
    }
    m_stopEvent.reset();
    m_startedEvent.reset();
}

CIOCPServer_win::CSlotAccess::CSlotAccess(CIOCPServer_win& server) : m_server(server)
{
    ++server.m_nSlotUsers; // before the array is read: StopTransport waits for this count
    if (server.m_bExiting.load())
        return;
    m_pSlots = server.m_pSlots.load();
    m_nCount = m_pSlots != nullptr ? server.m_nSlotCount : 0;
}

CIOCPServer_win::CSlotAccess::~CSlotAccess()
{
    --m_server.m_nSlotUsers;
}

CIOCPClientConnection* CIOCPServer_win::CSlotAccess::Find(uint32_t index) const
{
    return index >= 1 && index <= m_nCount ? &m_pSlots[index - 1] : nullptr;
}

template <class Operation>
bool CIOCPServer_win::OnClient(uint64_t clientId, Operation&& operation, bool closing)
{
    CSlotAccess slots(*this);
    if (!slots || clientId == 0)
        return false;
    CIOCPClientConnection* slot = slots.Find(SlotIndexOf(clientId));
    if (slot == nullptr) {
        LogMessage("CIOCPServer_win::SendToClient() - Invalid client slot!", LOG_ERR, kOrigin);
        return false;
    }
    return slot->WithClient(ConnectionNumberOf(clientId), operation, closing);
}

uint32_t CIOCPServer_win::SendToClient(uint64_t clientId, const void* payload, uint32_t length)
{
    if (length > CSessionHeader::kMaxPayload)
        return EIOCPE_BAD_PARAMS; // the client would take the frame for a broken stream
    uint32_t result = EIOCPE_NOT_CONNECTED;
    OnClient(clientId, [&](CIOCPClientConnection& slot) { result = slot.SendUserPacket(payload, length); });
    return result;
}

uint32_t CIOCPServer_win::SendToGroup(int32_t groupId, const void* payload, uint32_t length)
{
    if (length > CSessionHeader::kMaxPayload)
        return EIOCPE_BAD_PARAMS;
    if (m_bExiting)
        return EIOCPE_FAIL;
    std::vector<uint64_t> members;
    {
        CAutoLock lock(m_cs); // not held while a slot's lock is taken
        members = m_groups.GetMembers(groupId);
    }
    CSlotAccess slots(*this);
    for (uint64_t clientId : members)
        if (CIOCPClientConnection* slot = slots.Find(SlotIndexOf(clientId)))
            slot->WithClient(ConnectionNumberOf(clientId),
                             [&](CIOCPClientConnection& s) { s.SendUserPacket(payload, length); });
    return EIOCPE_SUCCESS;
}

uint32_t CIOCPServer_win::SendToAll(const void* payload, uint32_t length)
{
    if (length > CSessionHeader::kMaxPayload)
        return EIOCPE_BAD_PARAMS;
    CSlotAccess slots(*this);
    if (m_bExiting)
        return EIOCPE_NOT_CONNECTED;
    for (CIOCPClientConnection& slot : slots)
        slot.SendIfAdmitted(payload, length);
    return EIOCPE_SUCCESS;
}

uint32_t CIOCPServer_win::DisconnectClient(uint64_t clientId, bool close)
{
    // A forced close also reaches a client whose graceful close it is waiting for.
    const bool found = OnClient(clientId, [close](CIOCPClientConnection& slot) { slot.DisableSend(close); }, close);
    return found ? EIOCPE_SUCCESS : EIOCPE_NOT_CONNECTED;
}

uint32_t CIOCPServer_win::DisconnectAll(bool close)
{
    CSlotAccess slots(*this);
    for (CIOCPClientConnection& slot : slots)
        slot.DisableSend(close);
    return EIOCPE_SUCCESS;
}

uint32_t CIOCPServer_win::AddClientToGroups(uint64_t clientId, const std::set<int32_t>& groups)
{
    CAutoLock lock(m_cs);
    m_groups.Add(clientId, groups);
    return 1;
}

uint32_t CIOCPServer_win::RemoveClientFromGroups(uint64_t clientId, const std::set<int32_t>& groups)
{
    CAutoLock lock(m_cs);
    m_groups.Remove(clientId, groups);
    return 1;
}

uint32_t CIOCPServer_win::RemoveClientFromAllGroups(uint64_t clientId)
{
    CAutoLock lock(m_cs);
    m_groups.RemoveAll(clientId);
    return 1;
}

uint32_t CIOCPServer_win::GetGroupSize(int32_t groupId)
{
    CAutoLock lock(m_cs);
    return m_groups.GetSize(groupId);
}

CIOCPConnectedClient CIOCPServer_win::ClientOf(uint64_t clientId)
{
    CIOCPConnectedClient client;
    OnClient(clientId, [&](CIOCPClientConnection& slot) { slot.GetConnectedClient(client); });
    return client;
}

uint32_t CIOCPServer_win::GetClientAddress(uint64_t clientId)
{
    return ClientOf(clientId).nPeerAddress;
}

uint64_t CIOCPServer_win::GetClientHardwareAddress(uint64_t clientId)
{
    return ClientOf(clientId).nHardwareAddress;
}

void CIOCPServer_win::GetClients(uint32_t clientType, CClientHardwareMap& clients)
{
    CSlotAccess slots(*this);
    CIOCPConnectedClient client;
    for (CIOCPClientConnection& slot : slots)
        if (slot.GetConnectedClient(client) && (clientType == 0 || client.nClientType == clientType))
            clients[client.nClientId] = client.nHardwareAddress;
}

uint32_t CIOCPServer_win::GetClientType(uint64_t clientId)
{
    return ClientOf(clientId).nClientType;
}

bool CIOCPServer_win::IsClientLocal(uint64_t clientId)
{
    bool local = false;
    OnClient(clientId, [&](CIOCPClientConnection& slot) { local = slot.IsConnectedFromLocalNetwork(); });
    return local;
}

template <class Predicate>
uint64_t CIOCPServer_win::FindClient(Predicate&& matches)
{
    CSlotAccess slots(*this);
    CIOCPConnectedClient client;
    for (CIOCPClientConnection& slot : slots)
        if (slot.GetConnectedClient(client) && matches(client))
            return client.nClientId;
    return 0;
}

uint64_t CIOCPServer_win::FindClientByAddress(uint32_t address)
{
    return FindClient([address](const CIOCPConnectedClient& c) { return c.nPeerAddress == address; });
}

uint64_t CIOCPServer_win::FindClientByHardwareAddress(uint64_t hardwareAddress)
{
    return FindClient([hardwareAddress](const CIOCPConnectedClient& c) { return c.nHardwareAddress == hardwareAddress; });
}

uint32_t CIOCPServer_win::StartMulticast(uint32_t interfaceAddress, uint16_t port)
{
    if (m_bExiting)
        return EIOCPE_EXIT_IN_PROGRESS;
    return m_multicast.Start(InterfaceOrAny(interfaceAddress), port);
}

void CIOCPServer_win::StopMulticast()
{
    m_multicast.Stop();
}

uint32_t CIOCPServer_win::SendMulticast(IIOCP_UDPBuffer* buffer)
{
    return m_multicast.SendData(buffer);
}

void CIOCPServer_win::DescribeClients()
{
    CSlotAccess slots(*this);
    for (CIOCPClientConnection& slot : slots)
        slot.Describe();
}

void CIOCPServer_win::GetStatistics(char* text, uint32_t size)
{
    std::string statistics;
    {
        CSlotAccess slots(*this);
        if (slots) {
            try {
                std::vector<CIOCPClientStats> records;
                for (CIOCPClientConnection& slot : slots)
                    records.push_back(slot.GetStats());
                statistics = FormatStatisticsText(std::move(records), m_sendStuck.GetRecords());
            } catch (const std::bad_alloc&) {
                statistics = "No mem!";
            }
        }
    }
    CopyTruncated(statistics, text, size);
}

void CIOCPServer_win::OnClientClosed(const CIOCPClosedNotice& notice)
{
    RemoveClientFromAllGroups(MakeClientId(notice.nSlotIndex, notice.nConnectionNumber));
    CIOCPClosedNotice queued = notice;
    queued.bExiting = m_bExiting;
    m_notices.Push(queued);
}

IIOCP_Server* CreateIOCPServer(int32_t port, uint32_t interfaceAddress, int32_t workers, int32_t slots,
                               IIOCP_ConnHandler* handler, uint32_t* error, const CIOCPServerTimings& timings)
{
    uint32_t ignored;
    uint32_t& result = error != nullptr ? *error : ignored;
    // The settings are signed: a port of 70000 must not listen on 4464, nor -1 slots mean 4 billion.
    if (port < 1 || port > 65535 || slots < 1 || workers < 0 || handler == nullptr) {
        result = EIOCPE_BAD_PARAMS;
        return nullptr;
    }
    std::unique_ptr<CIOCPServer_win> server(new (std::nothrow) CIOCPServer_win(
        static_cast<uint16_t>(port), interfaceAddress, static_cast<uint32_t>(workers), static_cast<uint32_t>(slots),
        handler, timings));
    if (!server) {
        result = EIOCPE_NO_MEM;
        return nullptr;
    }
    if (!server->Init()) {
        result = EIOCPE_FAIL;
        return nullptr;
    }
    result = EIOCPE_SUCCESS;
    return server.release();
}
