#pragma once
// The calls the completion engine makes of epoll, and the only place with its flags.
// Every descriptor is registered once, edge-triggered, under a token (the socket handle)
// that the reactor looks up; events never carry pointers. Room to send is watched only
// while a send waits for it: a socket whose sends go out at once would otherwise wake the
// reactor for every datagram sent and every acknowledgement received.

#include <cstdint>

namespace platform::detail {

struct PollerEvent {
    uint64_t token;
    bool readable; ///< data, a connection, end of stream, or an error to collect
    bool writable; ///< room to send, or an error to collect
};

class Poller {
public:
    /// The token of the poller's own wake-up descriptor; no socket has it.
    static constexpr uint64_t kWakeToken = 0;

    Poller() = default;
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;
    ~Poller();

    /// Creates the epoll instance and the wake-up descriptor; false with the last socket
    /// error set. Creating thread, once.
    bool Open();
    /// Registers the descriptor once; false with the last socket error set when the system
    /// refuses (out of memory, or the limit of watched descriptors). Any thread.
    bool Add(int fd, uint64_t token);
    /// Starts or stops reporting room to send; aborts when the system refuses. A start reports
    /// room that is there already. Any thread.
    void WatchWrite(int fd, uint64_t token, bool watch);
    /// Unregisters the descriptor before it is closed; a failure is only reported. Any thread.
    void Remove(int fd);
    /// Waits up to timeoutMs (-1: without limit); returns the number of events filled in,
    /// 0 on time-out. Reactor thread only.
    int Wait(PollerEvent* events, int capacity, int timeoutMs);
    /// Makes Wait return with a kWakeToken event. Any thread.
    void Wake();

private:
    int m_nEpoll = -1;
    int m_nWake = -1;
};

} // namespace platform::detail
