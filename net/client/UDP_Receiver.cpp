#include "net/client/UDP_Receiver.h"

#include "Subsidiary/DBGMonitor.h"
#include "Subsidiary/NetErrors.h"
#include "Subsidiary/ThreadBase.h"
#include "platform/SocketError.h"
#include "platform/SocketIo.h"
#include "platform/Wait.h"

namespace {

/// The receive thread's name for the lock monitor.
const char* const kThreadName = "CUDP_Receiver";
constexpr uint32_t kStopWaitMs = 10000;
constexpr uint32_t kDatagramsPerWakeUp = 256;

uint32_t LastSocketFailure()
{
    return TranslateSystemError(static_cast<uint32_t>(platform::GetLastSocketError()));
}

} // namespace

CUDP_Receiver::CUDP_Receiver()
    : m_hSocketEvent(platform::SocketEvent::Create()),
      m_hStartedEvent(platform::Event::Create(platform::ResetMode::Auto)),
      m_hStopEvent(platform::Event::Create(platform::ResetMode::Auto))
{
}

CUDP_Receiver::~CUDP_Receiver()
{
    Stop();
}

uint32_t CUDP_Receiver::Init(uint32_t groupAddress, uint16_t port, uint32_t sourceAddress,
                             IUDPPacketsReceiver* receiver)
{
    if (!m_hSocketEvent || !m_hStartedEvent || !m_hStopEvent)
        return EIOCPE_NOEVENTOBJS;
    if (groupAddress == 0 || port == 0 || sourceAddress == 0 || receiver == nullptr)
        return EIOCPE_BAD_PARAMS;
    m_nGroupAddress = groupAddress;
    m_nPort = port;
    m_nSourceAddress = sourceAddress;
    m_pReceiver = receiver;
    m_bInitialised = true;
    return EIOCPE_SUCCESS;
}

uint32_t CUDP_Receiver::Start()
{
    if (const uint32_t error = OpenSocket(); error != EIOCPE_SUCCESS)
        return error;
    m_hThread = platform::Thread::Create([this] { return ReceiveThread(); });
    if (!m_hThread) {
        CloseSocket();
        return EIOCPE_UNABLE_RUN_THREAD;
    }
    m_hThread->RaisePriority(); // a refusal leaves the thread at normal priority, no error
    HANDLE started = m_hStartedEvent.get();
    CThreadBase::WaitForHandles(&started, 1); // the thread always reports its start
    if (const uint32_t error = JoinGroup(); error != EIOCPE_SUCCESS) {
        Stop();
        return error;
    }
    return EIOCPE_SUCCESS;
}

uint32_t CUDP_Receiver::OpenSocket()
{
    m_socket = platform::CreateUdpSocket();
    if (m_socket == platform::INVALID_SOCKET)
        return LastSocketFailure();
    // Reuse lets a second receiver on the host bind the same port; without "all groups" the
    // socket gets only what it joined, not every group some other socket joined.
    if (!platform::SetReuseAddress(m_socket, true) ||
        !platform::BindSocket(m_socket, {platform::kAnyAddress, m_nPort}) ||
        !platform::SetMulticastAll(m_socket, false) || !m_hSocketEvent->Select(m_socket, platform::FD_READ)) {
        const uint32_t error = LastSocketFailure();
        CloseSocket();
        return error;
    }
    platform::SetReceiveBufferSize(m_socket, kReceiveBufferBytes); // less, or the default, still works
    return EIOCPE_SUCCESS;
}

uint32_t CUDP_Receiver::JoinGroup()
{
    // On the interface that faces the server, which also reaches a server on the loopback.
    uint32_t interfaceAddress = platform::kAnyAddress;
    if (!platform::GetInterfaceFacing(m_nSourceAddress, &interfaceAddress))
        interfaceAddress = platform::kAnyAddress;
    if (platform::JoinMulticastGroup(m_socket, m_nGroupAddress, m_nSourceAddress, interfaceAddress) ||
        platform::GetLastSocketError() == platform::kWsaEAddrInUse) // already a member
        return EIOCPE_SUCCESS;
    return LastSocketFailure();
}

void CUDP_Receiver::Stop()
{
    if (m_bRunning) {
        m_hStopEvent->Set();
        m_hThread->EndWithin(kStopWaitMs); // given up when the owner holds it in a callback
        m_bRunning = false;
    }
    m_hThread.reset();
    CloseSocket();
}

void CUDP_Receiver::CloseSocket()
{
    if (m_socket == platform::INVALID_SOCKET)
        return;
    m_hSocketEvent->Reset();
    platform::CloseSocket(m_socket);
    m_socket = platform::INVALID_SOCKET;
}

bool CUDP_Receiver::IsRunning() const
{
    return m_bRunning;
}

bool CUDP_Receiver::IsInitialised() const
{
    return m_bInitialised;
}

void CUDP_Receiver::ClearInitialised()
{
    m_bInitialised = false;
}

uint32_t CUDP_Receiver::ReceiveThread()
{
    CDBGMonitor::ThreadStarted(kThreadName);
    m_bRunning = true;
    m_hStartedEvent->Set();
    platform::WaitObject* const handles[] = {m_hStopEvent.get(), m_hSocketEvent.get()};
    for (;;) {
        CDBGMonitor::ThreadSleep();
        const uint32_t signalled = platform::WaitForAny(handles, 2, platform::kInfinite);
        CDBGMonitor::ThreadAwake();
        if (signalled == 0)
            break;
        if (signalled == 1)
            OnSocketEvent();
        else
            ReportError(EIOCPE_FATAL_ERROR_IN_THREAD);
    }
    m_bRunning = false;
    CDBGMonitor::ThreadStopped();
    return 0;
}

void CUDP_Receiver::OnSocketEvent()
{
    platform::NetworkEvents events;
    if (!m_hSocketEvent->Enumerate(&events)) {
        m_hSocketEvent->Reset();
        return;
    }
    if ((events.events & platform::FD_READ) == 0)
        return;
    // A burst is taken in one go, a wait for each datagram would cost as much as its read; the
    // batch bound lets the stop event in between.
    for (uint32_t i = 0; i < kDatagramsPerWakeUp && ReceiveDatagram(); ++i) {
    }
}

bool CUDP_Receiver::ReceiveDatagram()
{
    uint32_t length = 0;
    platform::SocketAddressV4 sender;
    const platform::DatagramRead read =
        platform::ReceiveFrom(m_socket, m_buffer.data(), static_cast<uint32_t>(m_buffer.size()), &length, &sender);
    switch (read) {
    case platform::DatagramRead::NoDatagram:
        return false;
    case platform::DatagramRead::Failed:
        ReportError(EIOCPE_UDP_PACKET_LOST);
        return false;
    case platform::DatagramRead::Truncated:
    case platform::DatagramRead::Datagram:
        break;
    }
    // The sender first: whatever anyone else sends, even an empty datagram, is dropped unseen.
    if (sender.address != m_nSourceAddress)
        return true;
    if (read == platform::DatagramRead::Truncated || length == 0)
        ReportError(EIOCPE_UDP_PACKET_LOST);
    else
        Deliver(length);
    return true;
}

// After each call into the owner a thread that Stop has given up ends, before it touches this
// object again, which may be gone by then.
void CUDP_Receiver::ReportError(uint32_t error)
{
    m_pReceiver->OnUDPAsyncError(error);
    platform::EndIfTerminated();
}

void CUDP_Receiver::Deliver(uint32_t length)
{
    m_pReceiver->OnUDPPktReceived(m_buffer.data(), length);
    platform::EndIfTerminated();
}
