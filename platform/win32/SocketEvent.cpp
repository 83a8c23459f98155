#include "platform/SocketEvent.h"

#include "platform/SocketError.h"
#include "platform/win32/SocketAddress.h"
#include "platform/win32/SocketLookup.h"
#include "platform/win32/WaitHandle.h"
#include "platform/win32/Winsock.h"

#include <utility>

// Winsock's event selection: the system signals the event when a selected network event is
// recorded, and WSAEnumNetworkEvents hands the records over and resets both. A read is recorded
// again after each receive while data is left, so "read" lasts while there is something to
// read, and a close is recorded once.

namespace platform {

namespace {

using detail::SocketTable;

bool Fail(int winsockError)
{
    SetLastSocketError(winsockError);
    return false;
}

} // namespace

struct SocketEvent::State {
    enum class Phase { Idle, Connecting, Open };

    explicit State(WSAEVENT signalled) : event(signalled) {}
    ~State() { ::WSACloseEvent(event); }

    bool Watch(::SOCKET native, long events);
    void Report(::SOCKET native, NetworkEvents* events);
    void Reset();

    const WSAEVENT event;
    SOCKET socket = INVALID_SOCKET;
    ::SOCKET watched = win32::kNoNativeSocket; ///< selected for event, or none
    uint32_t mask = 0;
    bool datagram = false;
    Phase phase = Phase::Idle;
};

std::unique_ptr<SocketEvent> SocketEvent::Create()
{
    if (!win32::EnsureWinsock())
        return nullptr;
    const WSAEVENT event = ::WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        win32::FailWithWinsockError();
        return nullptr;
    }
    return std::unique_ptr<SocketEvent>(new SocketEvent(std::make_unique<State>(event)));
}

SocketEvent::SocketEvent(std::unique_ptr<State> state) : m_state(std::move(state)) {}

SocketEvent::~SocketEvent() = default;

bool SocketEvent::Select(SOCKET s, uint32_t mask)
{
    Reset();
    auto socket = SocketTable::Instance().Find(s);
    if (!socket)
        return Fail(kWsaENotSock);
    m_state->socket = s;
    m_state->mask = mask;
    m_state->datagram = socket->IsDatagram();
    if (!m_state->datagram)
        return true; // a stream socket is watched from its connect on
    return socket->WithNative([&](::SOCKET native) {
        if (!m_state->Watch(native, FD_READ))
            return false;
        m_state->phase = State::Phase::Open;
        return true;
    });
}

bool SocketEvent::StartConnect(SocketAddressV4 remote)
{
    if (m_state->phase != State::Phase::Idle || m_state->datagram)
        return Fail(kWsaEInval);
    auto socket = SocketTable::Instance().Find(m_state->socket);
    if (!socket)
        return Fail(kWsaENotSock);
    const sockaddr_in to = win32::ToSockaddr(remote);
    return socket->WithNative([&](::SOCKET native) {
        if (!m_state->Watch(native, FD_CONNECT | FD_READ | FD_CLOSE))
            return false;
        if (::connect(native, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
            ::WSAGetLastError() != WSAEWOULDBLOCK) {
            win32::FailWithWinsockError();
            m_state->Reset();
            return false;
        }
        m_state->phase = State::Phase::Connecting;
        return true;
    });
}

bool SocketEvent::Enumerate(NetworkEvents* events)
{
    *events = NetworkEvents{};
    if (m_state->phase == State::Phase::Idle)
        return true;
    auto socket = SocketTable::Instance().Find(m_state->socket);
    if (!socket)
        return Fail(kWsaENotSock);
    return socket->WithNative([&](::SOCKET native) {
        m_state->Report(native, events);
        events->events &= m_state->mask;
        return true;
    });
}

void SocketEvent::State::Report(::SOCKET native, NetworkEvents* events)
{
    WSANETWORKEVENTS recorded{};
    if (::WSAEnumNetworkEvents(native, event, &recorded) != 0)
        return;
    if ((recorded.lNetworkEvents & FD_CONNECT) != 0) {
        events->events |= FD_CONNECT;
        events->connectError = recorded.iErrorCode[FD_CONNECT_BIT];
        if (events->connectError != 0) {
            Reset(); // a failed connect reports nothing else
            return;
        }
        phase = Phase::Open;
    }
    if (phase != Phase::Open)
        return;
    // The bytes that came before the end are read first.
    if ((recorded.lNetworkEvents & (FD_READ | FD_CLOSE)) != 0)
        events->events |= FD_READ;
    if (!datagram && (recorded.lNetworkEvents & FD_CLOSE) != 0) {
        events->events |= FD_CLOSE;
        Reset(); // the end is reported once
    }
}

bool SocketEvent::State::Watch(::SOCKET native, long events)
{
    if (::WSAEventSelect(native, event, events) != 0)
        return win32::FailWithWinsockError();
    watched = native;
    return true;
}

void SocketEvent::State::Reset()
{
    // The socket may be closed already, which ended its selection.
    if (watched != win32::kNoNativeSocket)
        ::WSAEventSelect(watched, nullptr, 0);
    watched = win32::kNoNativeSocket;
    ::WSAResetEvent(event);
    phase = Phase::Idle;
}

void SocketEvent::Reset()
{
    m_state->Reset();
}

int SocketEvent::GetDescriptor() const
{
    return win32::DescriptorOf(m_state->event);
}

bool SocketEvent::Consume()
{
    // Enumerate resets the event with what it reports.
    return true;
}

} // namespace platform
