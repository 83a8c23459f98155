#include "platform/linux/Poller.h"

#include "platform/SocketError.h"
#include "platform/linux/FailFast.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform::detail {

Poller::~Poller()
{
    if (m_nWake >= 0)
        close(m_nWake);
    if (m_nEpoll >= 0)
        close(m_nEpoll);
}

bool Poller::Open()
{
    m_nEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_nEpoll < 0) {
        SetLastSocketError(WinsockErrorFromErrno(errno));
        return false;
    }
    m_nWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_nWake < 0) {
        SetLastSocketError(WinsockErrorFromErrno(errno));
        return false;
    }
    return Add(m_nWake, kWakeToken);
}

namespace {

epoll_event Interest(uint64_t token, bool write)
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET | (write ? EPOLLOUT : 0u);
    ev.data.u64 = token;
    return ev;
}

} // namespace

bool Poller::Add(int fd, uint64_t token)
{
    epoll_event ev = Interest(token, false);
    if (epoll_ctl(m_nEpoll, EPOLL_CTL_ADD, fd, &ev) == 0)
        return true;
    SetLastSocketError(WinsockErrorFromErrno(errno));
    return false;
}

void Poller::WatchWrite(int fd, uint64_t token, bool watch)
{
    epoll_event ev = Interest(token, watch);
    if (epoll_ctl(m_nEpoll, EPOLL_CTL_MOD, fd, &ev) != 0)
        FailFast("epoll_ctl(EPOLL_CTL_MOD)", errno);
}

void Poller::Remove(int fd)
{
    if (epoll_ctl(m_nEpoll, EPOLL_CTL_DEL, fd, nullptr) != 0) {
        const int err = errno;
        char reason[128];
        char text[192];
        std::snprintf(text, sizeof text, "epoll_ctl(EPOLL_CTL_DEL) of %d: %s\n", fd,
                      strerror_r(err, reason, sizeof reason));
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, strlen(text));
    }
}

int Poller::Wait(PollerEvent* events, int capacity, int timeoutMs)
{
    constexpr int kBatch = 64;
    epoll_event raw[kBatch];
    int count;
    do
        count = epoll_wait(m_nEpoll, raw, capacity < kBatch ? capacity : kBatch, timeoutMs);
    while (count < 0 && errno == EINTR);
    if (count < 0)
        FailFast("epoll_wait", errno);
    for (int i = 0; i < count; ++i) {
        if (raw[i].data.u64 == kWakeToken) {
            uint64_t wakes;
            [[maybe_unused]] const ssize_t n = read(m_nWake, &wakes, sizeof wakes); // empty: fine
        }
        // A hang-up or an error is reported to both directions: the next system call of each
        // parked operation collects the real result.
        const uint32_t bits = raw[i].events;
        const bool broken = bits & (EPOLLHUP | EPOLLERR);
        events[i] = {raw[i].data.u64, broken || (bits & (EPOLLIN | EPOLLRDHUP)), broken || (bits & EPOLLOUT)};
    }
    return count;
}

void Poller::Wake()
{
    const uint64_t one = 1;
    if (write(m_nWake, &one, sizeof one) < 0 && errno != EAGAIN) // EAGAIN: already signalled
        FailFast("eventfd write", errno);
}

} // namespace platform::detail
