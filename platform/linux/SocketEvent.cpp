#include "platform/SocketEvent.h"

#include "platform/SocketError.h"
#include "platform/linux/SocketAddress.h"
#include "platform/linux/SocketContext.h"
#include "platform/linux/SocketTable.h"

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

// The descriptor is an epoll set holding the watched socket level-triggered, so it polls
// readable exactly while Enumerate has something to report. A stream socket joins the set
// only when its connect starts: an unconnected TCP socket polls as hung up. While the connect
// is under way the set waits for room to send (how a finished connect shows); afterwards for
// data and the peer's end. Each answer is read again with a zero-time poll of the socket.

namespace platform {

namespace {

using detail::SocketTable;

bool Fail(int winsockError)
{
    SetLastSocketError(winsockError);
    return false;
}

short PollNow(int fd, short events)
{
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, 0) == 1 ? p.revents : 0;
}

} // namespace

struct SocketEvent::State {
    enum class Phase { Idle, Connecting, Open };

    explicit State(int epollFd) : epoll(epollFd) {}
    ~State() { ::close(epoll); }

    bool Watch(int fd, uint32_t epollEvents);
    void ReportConnect(int fd, NetworkEvents* events);
    void ReportOpen(int fd, NetworkEvents* events);
    void Reset();

    const int epoll;
    SOCKET socket = INVALID_SOCKET;
    int watchedFd = -1; ///< registered in epoll, or -1
    uint32_t mask = 0;
    bool datagram = false;
    Phase phase = Phase::Idle;
    /// A wait took the signal since the last Enumerate.
    std::atomic<bool> signalled{false};
};

std::unique_ptr<SocketEvent> SocketEvent::Create()
{
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
        SetLastSocketError(WinsockErrorFromErrno(errno));
        return nullptr;
    }
    return std::unique_ptr<SocketEvent>(new SocketEvent(std::make_unique<State>(fd)));
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
        return true;
    return socket->WithDescriptor([&](int fd) {
        if (!m_state->Watch(fd, EPOLLIN))
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
    const sockaddr_in to = detail::ToSockaddr(remote);
    return socket->WithDescriptor([&](int fd) {
        // A connect interrupted by a signal goes on like one under way.
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS &&
            errno != EINTR)
            return Fail(WinsockErrorFromErrno(errno));
        if (!m_state->Watch(fd, EPOLLOUT))
            return false;
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
    const bool signalled = m_state->signalled.exchange(false);
    return socket->WithDescriptor([&](int fd) {
        if (m_state->phase == State::Phase::Connecting)
            m_state->ReportConnect(fd, events);
        if (m_state->phase == State::Phase::Open && m_state->datagram && signalled)
            events->events |= FD_READ; // readable is all a datagram socket is watched for
        else if (m_state->phase == State::Phase::Open)
            m_state->ReportOpen(fd, events);
        events->events &= m_state->mask;
        return true;
    });
}

void SocketEvent::State::ReportConnect(int fd, NetworkEvents* events)
{
    if (PollNow(fd, POLLOUT) == 0)
        return;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    events->events |= FD_CONNECT;
    events->connectError = WinsockErrorFromErrno(error);
    if (error == 0 && Watch(fd, EPOLLIN | EPOLLRDHUP)) {
        phase = Phase::Open;
        return;
    }
    if (error == 0)
        events->connectError = GetLastSocketError(); // connected, but it cannot be watched
    Reset();
}

void SocketEvent::State::ReportOpen(int fd, NetworkEvents* events)
{
    const short ready = PollNow(fd, POLLIN | POLLRDHUP);
    if (ready == 0)
        return;
    // An error or the end is collected by the read, which reports it.
    events->events |= FD_READ;
    if (!datagram && (ready & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        events->events |= FD_CLOSE;
        Reset(); // the end is reported once
    }
}

bool SocketEvent::State::Watch(int fd, uint32_t epollEvents)
{
    epoll_event event{};
    event.events = epollEvents;
    event.data.fd = fd;
    const int op = fd == watchedFd ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(epoll, op, fd, &event) != 0)
        return Fail(WinsockErrorFromErrno(errno));
    watchedFd = fd;
    return true;
}

void SocketEvent::State::Reset()
{
    signalled = false;
    // The socket may be closed already, which took it out of the set.
    if (watchedFd >= 0)
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, watchedFd, nullptr);
    watchedFd = -1;
    phase = Phase::Idle;
}

void SocketEvent::Reset()
{
    m_state->Reset();
}

int SocketEvent::GetDescriptor() const
{
    return m_state->epoll;
}

bool SocketEvent::Consume()
{
    // Enumerate resets what it reports; this only saves it a look at a datagram socket.
    m_state->signalled = true;
    return true;
}

} // namespace platform
