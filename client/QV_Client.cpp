#include "client/QV_Client.h"

#include "client/Settings.h"
#include "net/common/QVNET_PktHeader.h"
#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/Log.h"
#include "Subsidiary/NetErrors.h"

namespace {

constexpr int64_t kPurgePeriodMs = 1000;
constexpr int64_t kRetransmitPeriodMs = 150;
constexpr int64_t kReconnectDelayMs = 1000;
constexpr int64_t kRestartDelayMs = 10000;
/// A synchronised stream silent for this long means the multicast path is broken.
constexpr uint64_t kStallLimitMs = 5000;

constexpr const char* kLoopOrigin = "Main thread";

} // namespace

CQV_Client::CQV_Client() : CThreadBase("CQV_Client"), m_csPackets("CQV_Client::m_csPackets") {}

CQV_Client::~CQV_Client()
{
    if (IsRunning())
        Stop();
    if (m_pConnection != nullptr || m_hApplyEvent != nullptr)
        Shutdown();
}

bool CQV_Client::Init(const CSettings& settings, CClientEnvironment environment)
{
    m_Environment = std::move(environment);
    m_strServerAddr = settings.GetServerAddrText();
    m_nServerPort = static_cast<uint16_t>(settings.GetServerPort());
    if (!CreateHandles()) {
        m_Repository.Cleanup();
        CloseHandles();
        return false;
    }
    uint32_t error = m_Receiver.Init(settings.GetMulticastAddr(), m_nServerPort, settings.GetServerAddr(), this);
    if (error != EIOCPE_SUCCESS) {
        LogMessage(GetErrorText(error), LOG_ERR, "CQV_Client::Init");
        m_Repository.Cleanup();
        CloseHandles();
        return false;
    }
    error = EIOCPE_SUCCESS;
    m_pConnection = m_Environment.createConnection(this, &error);
    if (m_pConnection == nullptr) {
        LogMessage(GetErrorText(error), LOG_ERR, "CQV_Client::Init");
        m_Repository.Cleanup();
        CloseHandles();
        if (m_Receiver.IsRunning())
            m_Receiver.Stop();
        m_Receiver.ClearInitialised();
        return false;
    }
    return true;
}

bool CQV_Client::CreateHandles()
{
    m_hApplyEvent = CreateEventHandle();
    m_hRetransmitEvent = CreateEventHandle();
    m_hRestartEvent = CreateEventHandle();
    m_hPurgeTimer = CreateTimerHandle();
    m_hRetransmitTimer = CreateTimerHandle();
    m_hConnectTimer = CreateTimerHandle();
    return m_hApplyEvent != nullptr && m_hRetransmitEvent != nullptr && m_hRestartEvent != nullptr &&
           m_hPurgeTimer != nullptr && m_hRetransmitTimer != nullptr && m_hConnectTimer != nullptr;
}

void CQV_Client::CloseHandles()
{
    for (HANDLE* h : {&m_hApplyEvent, &m_hRetransmitEvent, &m_hRestartEvent, &m_hPurgeTimer, &m_hRetransmitTimer,
                      &m_hConnectTimer}) {
        CloseHandle(*h);
        *h = nullptr;
    }
}

// The receiver and the connection signal the handles, so both end before the handles close.
void CQV_Client::Shutdown()
{
    if (m_Receiver.IsRunning())
        m_Receiver.Stop();
    m_Receiver.ClearInitialised();
    if (m_pConnection != nullptr) {
        m_Environment.destroyConnection(m_pConnection);
        delete m_pConnection;
        m_pConnection = nullptr;
    }
    CloseHandles();
    m_Repository.Cleanup();
}

int32_t CQV_Client::StartModules()
{
    {
        CAutoLock lock(m_csPackets);
        m_nState = CS_NOT_CONNECTED;
    }
    m_bDisconnectPending = false;
    uint32_t error = m_Receiver.Start();
    if (error != EIOCPE_SUCCESS) {
        LogMessage(GetErrorText(error), LOG_ERR, "CQV_Client::StartModules");
        return -1;
    }
    error = m_pConnection->Connect(m_strServerAddr.c_str(), m_nServerPort, 0);
    if (error != EIOCPE_SUCCESS) {
        LogMessage(GetErrorText(error), LOG_ERR, "CQV_Client::StartModules");
        m_Receiver.Stop();
        return -1;
    }
    return 0;
}

void CQV_Client::StopModules()
{
    m_Receiver.Stop();
    m_pConnection->Disconnect(false, true);
}

int32_t CQV_Client::DoRun()
{
    LogMessage("started", LOG_MSG, "CQV_Client Main thread");
    if (StartModules() != 0) {
        StopModules();
        return -1;
    }
    if (!StartTimerHandle(m_hPurgeTimer, kPurgePeriodMs) || !StartTimerHandle(m_hRetransmitTimer, kRetransmitPeriodMs)) {
        LogMessage("Unable to start timer handle!", LOG_ERR, "CQV_Client::DoRun()");
        StopModules();
        return -1;
    }
    SignalStarted();
    const HANDLE handles[] = {GetStopEvent(),     m_hRestartEvent, m_hApplyEvent, m_hRetransmitEvent,
                              m_hRetransmitTimer, m_hPurgeTimer,   m_hConnectTimer};
    for (;;) {
        const int32_t signalled = WaitForHandles(handles, 7);
        switch (signalled) {
        case 0:
            StopTimerHandle(m_hRetransmitTimer);
            StopTimerHandle(m_hPurgeTimer);
            StopModules();
            LogMessage("exited", LOG_MSG, kLoopOrigin);
            CDBGMonitor::DumpLockStatistics();
            return 0;
        case 1:
            ResetEventHandle(m_hRestartEvent);
            RestartConnections();
            break;
        case 2:
            ResetEventHandle(m_hApplyEvent);
            while (ApplyNextPacket()) {
            }
            break;
        case 3:
            ResetEventHandle(m_hRetransmitEvent);
            SendRetransmitPkt();
            break;
        case 4:
            StopTimerHandle(m_hRetransmitTimer);
            SendRetransmitPkt();
            StartTimerHandle(m_hRetransmitTimer, kRetransmitPeriodMs);
            break;
        case 5:
            StopTimerHandle(m_hPurgeTimer);
            PurgeAppliedPackets();
            CheckStreamStall();
            StartTimerHandle(m_hPurgeTimer, kPurgePeriodMs);
            break;
        case 6:
            StopTimerHandle(m_hConnectTimer);
            OnConnectTimer();
            break;
        default:
            LogMessage(WaitFailureText(signalled), LOG_ERR, kLoopOrigin);
            break;
        }
    }
}

int32_t CQV_Client::GetState()
{
    CAutoLock lock(m_csPackets);
    return m_nState;
}

void CQV_Client::ResetStreamState(int32_t state)
{
    {
        CAutoLock lock(m_csPackets);
        m_nState = state;
        m_nLastApplied = 0;
        m_nLowWater = 0;
        m_nHighSeq = 0;
        m_nScannedTo = 0;
        m_mapPending.clear();
        m_mapMissing.clear();
    }
    // Emptying a large replica takes a while; the receive thread need not wait for it.
    m_Repository.Cleanup();
}

void CQV_Client::OnConnected(uint32_t)
{
    ResetStreamState(CS_SYNCHRONISING);
    LogMessage("TCP Connected!", LOG_MSG, "CQV_Client::OnConnected");
    LogMessage("Get initial snapshot of data from server...", LOG_MSG, "CQV_Client::OnConnected");
    SendSyncRequest(QVNET_ID_SYNC_REQUEST);
}

void CQV_Client::OnDisconnected(uint32_t, uint32_t)
{
    ResetStreamState(CS_NOT_CONNECTED);
    LogMessage("TCP Disconnected!", LOG_MSG, "CQV_Client::OnDisconnected");
    StartTimerHandle(m_hConnectTimer, kReconnectDelayMs);
}

void CQV_Client::OnConnectFailed(uint32_t error, uint32_t)
{
    LogMessage(GetErrorText(error), LOG_ERR, "CQV_Client::OnConnectFailed");
    StartTimerHandle(m_hConnectTimer, kReconnectDelayMs);
}

void CQV_Client::RequestRestart()
{
    CAutoLock lock(m_csPackets);
    if (m_nState == CS_SYNCHRONISING || m_nState == CS_SYNCHRONISED) {
        SignalEventHandle(m_hRestartEvent);
        m_nState = CS_RESTARTING;
    }
}

void CQV_Client::RestartConnections()
{
    if (GetState() == CS_NOT_CONNECTED)
        return;
    DisconnectForRestart();
}

// The graceful disconnect reports the end through OnDisconnected, which arms the connect
// timer for 1 s; the longer delay of a restart replaces that.
void CQV_Client::DisconnectForRestart()
{
    const uint32_t error = m_pConnection->Disconnect(true, false);
    m_bDisconnectPending = error != EIOCPE_SUCCESS;
    if (m_bDisconnectPending)
        LogFormatted("CQV_Client::RestartConnections", LOG_ERR, "Disconnect failed : %s", GetErrorText(error));
    StartTimerHandle(m_hConnectTimer, kRestartDelayMs);
}

void CQV_Client::OnConnectTimer()
{
    // Without a successful disconnect the session would stay up, ignored, for ever.
    if (m_bDisconnectPending && GetState() == CS_RESTARTING) {
        DisconnectForRestart();
        return;
    }
    m_bDisconnectPending = false;
    const uint32_t error = m_pConnection->Connect(m_strServerAddr.c_str(), m_nServerPort, 0);
    if (error != EIOCPE_SUCCESS) {
        LogFormatted("CQV_Client::DoRun", LOG_ERR, "Connect failed : %s", GetErrorText(error));
        StartTimerHandle(m_hConnectTimer, kReconnectDelayMs);
    }
}

// Without it a client whose source filter drops everything (the server multicasting from
// another address than the one it was reached at) reports its sync and then never changes.
void CQV_Client::CheckStreamStall()
{
    CAutoLock lock(m_csPackets);
    if (m_nState != CS_SYNCHRONISED)
        return;
    const uint64_t silence = m_Environment.tickCount() - m_nLastDatagramTick;
    if (silence < kStallLimitMs)
        return;
    LogMessage(FormatString("No data from server for %u ms! Restarting connections 3!", static_cast<unsigned>(silence)),
               LOG_ERR, "CQV_Client::DoRun");
    RequestRestart();
}

CQV_Client::CStreamCounters CQV_Client::GetStreamCounters()
{
    CAutoLock lock(m_csPackets);
    return {m_nLastApplied,       m_nLowWater,         m_nHighSeq,
            m_mapPending.size(), m_mapMissing.size(), m_lstFreeBuffers.size()};
}
