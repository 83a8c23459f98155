#include "server/QV_Server.h"

#include "net/common/QVNET_PktHeader.h"
#include "net/common/QVNET_SeqPkt.h"
#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"

#include <utility>

namespace {

constexpr const char* kThreadOrigin = "Main thread";
constexpr const char* kReceiveOrigin = "CQV_Server::OnReceivePkt";
constexpr const char* kModulesOrigin = "CQV_Server::StartModules()";
constexpr int64_t kFirstHeartbeatMs = 1000;

} // namespace

CQV_Server::CQV_Server(const CSettings& settings, CNetServerFactory factory, CServerTimings timings)
    : CThreadBase("CQV_Server"), m_Settings(settings), m_NetServerFactory(std::move(factory)), m_Timings(timings),
      m_Repository(*this),
      m_DataFeed(m_Repository), m_csPackets("CQV_Server::m_csPackets"),
      m_HeartbeatBuff(MakeUDPBuff(QVNET_HeartbeatPkt::kSize)), m_csSyncClientsMap("CQV_Server::m_csSyncClientsMap")
{
}

// The feed writes through this object's pool and history, so it must end before they go.
CQV_Server::~CQV_Server()
{
    if (IsRunning())
        Stop();
    if (m_DataFeed.IsRunning())
        m_DataFeed.Stop();
}

bool CQV_Server::Init()
{
    uint32_t error = EIOCPE_SUCCESS;
    m_pNetServer.reset(m_NetServerFactory(m_Settings.GetServerPort(), m_Settings.GetNetInterfaceAddr(),
                                          m_Settings.GetNumberOfThreads(), m_Settings.GetMaxClientConnections(),
                                          this, &error));
    if (!m_pNetServer) {
        m_Repository.Cleanup();
        LogFormatted("CQV_Server::Init()", LOG_ERR, "Error instantiating TCP server : %s", GetErrorText(error));
        return false;
    }
    return m_DataFeed.Init();
}

void CQV_Server::Deinit()
{
    m_DataFeed.Deinit();
    m_pNetServer.reset();
    m_Repository.Cleanup();
    CAutoLock syncLock(m_csSyncClientsMap);
    CAutoLock lock(m_csPackets);
    ReleaseSharedSnapshot();
    m_lstFreeBuffers.clear();
    m_mapHistory.clear();
}

uint32_t CQV_Server::OnClientInit(uint32_t, uint16_t, bool, uint64_t, uint32_t, IIOCP_Receiver** receiver)
{
    *receiver = this;
    return 0;
}

void CQV_Server::OnClientConnected(uint64_t clientId, uint32_t)
{
    LogFormatted("CQV_Server::OnClientConnected", "Client connected : %llu", clientId);
}

void CQV_Server::OnConnectionClosed(uint64_t clientId, uint32_t, bool)
{
    LogFormatted("CQV_Server::OnConnectionClosed", "Client disconnected : %llu", clientId);
    CAutoLock lock(m_csSyncClientsMap);
    if (auto client = m_mapSyncClients.find(clientId); client != m_mapSyncClients.end())
        ForgetSyncClient(client);
}

int32_t CQV_Server::OnReceivePkt(uint64_t clientId, const uint8_t* payload, uint32_t length)
{
    // A payload too short for the size field is refused like a wrong size.
    QVNET_PktHeader header;
    if (!QVNET_PktHeader::Read(payload, length, header) || header.nLength != length) {
        LogMessage("Bad packet size vs received size!", LOG_ERR, kReceiveOrigin);
        return 0;
    }
    try {
        switch (header.nId) {
        case QVNET_ID_RETRANSMIT:
            return OnRetransmitPkt(payload, length);
        case QVNET_ID_SYNC_REQUEST:
            return OnSyncRequestPkt(clientId);
        case QVNET_ID_NEXT_SYNC:
            return OnNextSyncPkt(clientId);
        default:
            LogFormatted(kReceiveOrigin, "Unknown pkt ID : %d", static_cast<int32_t>(header.nId));
            return 0;
        }
    } catch (...) {
        LogMessage("Some bad thing is happening, disconnecting client!", LOG_ERR, kReceiveOrigin);
        return 0;
    }
}

// --- main thread -----------------------------------------------------------------------------

int32_t CQV_Server::DoRun()
{
    LogMessage("started", LOG_MSG, kThreadOrigin);
    // Stream packets re-arm the timer, and the store and the workers send them as soon as the
    // modules run: the timer is there before they start and goes only after they stopped.
    if (!OpenTimers())
        return -1;
    PrepareHeartbeat();
    if (const int32_t result = StartModules(); result != 0) {
        StopModules();
        CloseTimers();
        return result;
    }
    if (!ArmTimers()) {
        LogMessage("Unable to create timer handle!", LOG_ERR, "CQV_Server::DoRun()");
        StopModules();
        CloseTimers();
        return -1;
    }
    SignalStarted();
    RunMainLoop();
    StopModules();
    CloseTimers();
    LogMessage("exited", LOG_MSG, kThreadOrigin);
    CDBGMonitor::DumpLockStatistics();
    return 0;
}

int32_t CQV_Server::StartModules()
{
    if (const int32_t result = m_Repository.Start(); result != 0)
        return result;
    if (const uint32_t error = m_pNetServer->Start(); error != EIOCPE_SUCCESS) {
        LogFormatted(kModulesOrigin, LOG_ERR, "Unable to start TCP server : %s", GetErrorText(error));
        return -1;
    }
    // The sender logs its own failures; the stream sends then fail and say so.
    m_pNetServer->StartMulticast(m_Settings.GetNetInterfaceAddr(), static_cast<uint16_t>(m_Settings.GetServerPort()));
    LogMessage("Network server started!", LOG_MSG, kModulesOrigin);
    return 0;
}

void CQV_Server::StopModules()
{
    if (m_DataFeed.IsRunning())
        m_DataFeed.Stop();
    m_pNetServer->Stop();
    m_Repository.Stop();
}

bool CQV_Server::OpenTimers()
{
    HANDLE heartbeat = CreateTimerHandle();
    m_hSweepTimer = CreateTimerHandle();
    if (heartbeat == nullptr || m_hSweepTimer == nullptr) {
        LogMessage("Unable to create timer handle!", LOG_ERR, "CQV_Server::DoRun()");
        CloseHandle(heartbeat);
        CloseHandle(std::exchange(m_hSweepTimer, nullptr));
        return false;
    }
    CAutoLock lock(m_csPackets);
    m_hTimer = heartbeat;
    return true;
}

void CQV_Server::CloseTimers()
{
    CloseHandle(std::exchange(m_hSweepTimer, nullptr));
    CAutoLock lock(m_csPackets);
    CloseHandle(std::exchange(m_hTimer, nullptr));
}

bool CQV_Server::ArmTimers()
{
    if (!StartTimerHandle(m_hSweepTimer, m_Timings.nSyncSweepPeriodMs))
        return false;
    CAutoLock lock(m_csPackets);
    return StartTimerHandle(m_hTimer, kFirstHeartbeatMs);
}

void CQV_Server::PrepareHeartbeat()
{
    CAutoLock lock(m_csPackets);
    m_HeartbeatBuff->SetSize(QVNET_HeartbeatPkt::kSize);
    m_HeartbeatBuff->SetTag(m_Settings.GetMulticastAddr());
    QVNET_PktHeader::Write(m_HeartbeatBuff->GetData(), QVNET_HeartbeatPkt::kId, m_HeartbeatBuff->GetSize());
}

void CQV_Server::RunMainLoop()
{
    const HANDLE handles[] = {GetStopEvent(), m_hTimer, m_hSweepTimer};
    for (;;) {
        const int32_t signalled = WaitForHandles(handles, 3);
        if (signalled == 0) {
            StopTimerHandle(m_hTimer);
            StopTimerHandle(m_hSweepTimer);
            return;
        }
        if (signalled == 1) {
            OnHeartbeatTimer();
        } else if (signalled == 2) {
            StopTimerHandle(m_hSweepTimer);
            DropIdleSyncClients();
            StartTimerHandle(m_hSweepTimer, m_Timings.nSyncSweepPeriodMs);
        } else if (signalled == 258) {
            LogMessage("WaitForHandles() timeout code!", LOG_ERR, kThreadOrigin);
        } else if (signalled == -1) {
            LogMessage("WaitForHandles() error code!", LOG_ERR, kThreadOrigin);
        } else {
            LogMessage("WaitForHandles() invalid code!", LOG_ERR, kThreadOrigin);
        }
    }
}

// A wake-up that raced a stream packet sends a heartbeat right behind it, which carries the
// next number all the same.
void CQV_Server::OnHeartbeatTimer()
{
    CAutoLock lock(m_csPackets);
    StopTimerHandle(m_hTimer);
    SendHeartbeatUDP();
    StartTimerHandle(m_hTimer, kHeartbeatPeriodMs);
}
