#pragma once
// Plain blocking sockets of the system for tests and benchmarks: the independent peer that the
// platform's sockets are checked against. Every receive is bounded by a time limit.

#include "support/SystemSocket.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

class CPlainSocket {
public:
    CPlainSocket() = default;
    explicit CPlainSocket(int fd) : m_nFd(fd) {}
    CPlainSocket(CPlainSocket&& other) noexcept : m_nFd(std::exchange(other.m_nFd, -1)) {}
    CPlainSocket& operator=(CPlainSocket&& other) noexcept
    {
        std::swap(m_nFd, other.m_nFd);
        return *this;
    }
    ~CPlainSocket() { Close(); }

    /// A connected TCP socket to 127.0.0.1:port with TCP_NODELAY, or an invalid one.
    static CPlainSocket ConnectTcp(uint16_t port)
    {
        CPlainSocket s(SystemSocket(AF_INET, SOCK_STREAM));
        const sockaddr_in to = Loopback(port);
        if (connect(s.m_nFd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            s.Close();
        int one = 1;
        setsockopt(s.m_nFd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        return s;
    }

    /// A TCP socket listening on 127.0.0.1 at a port the system picks.
    static CPlainSocket ListenTcp()
    {
        CPlainSocket s(SystemSocket(AF_INET, SOCK_STREAM));
        const sockaddr_in at = Loopback(0);
        if (bind(s.m_nFd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || listen(s.m_nFd, 64) != 0)
            s.Close();
        return s;
    }

    /// A UDP socket bound to any address and the port (0: the system picks), address reuse on.
    static CPlainSocket BindUdp(uint16_t port)
    {
        CPlainSocket s(SystemSocket(AF_INET, SOCK_DGRAM));
        int one = 1;
        setsockopt(s.m_nFd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        if (bind(s.m_nFd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            s.Close();
        return s;
    }

    static sockaddr_in Loopback(uint16_t port)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(port);
        return sa;
    }

    /// Joins the group on the loopback interface, and takes no other group's datagrams.
    bool JoinGroup(const char* group)
    {
#ifdef IP_MULTICAST_ALL
        int off = 0;
        setsockopt(m_nFd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
#endif
        ip_mreq mreq{};
        inet_pton(AF_INET, group, &mreq.imr_multiaddr);
        mreq.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
        return setsockopt(m_nFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&mreq), sizeof mreq) == 0;
    }

    bool Valid() const { return m_nFd >= 0; }
    int Fd() const { return m_nFd; }

    uint16_t LocalPort() const
    {
        sockaddr_in sa{};
        SystemLength length = sizeof sa;
        getsockname(m_nFd, reinterpret_cast<sockaddr*>(&sa), &length);
        return ntohs(sa.sin_port);
    }
    sockaddr_in LocalAddress() const
    {
        sockaddr_in sa{};
        SystemLength length = sizeof sa;
        getsockname(m_nFd, reinterpret_cast<sockaddr*>(&sa), &length);
        return sa;
    }

    bool SendAll(const void* data, size_t length)
    {
        const char* p = static_cast<const char*>(data);
        while (length > 0) {
            const auto n = send(m_nFd, p, static_cast<int>(length), kSystemNoSignal);
            if (n <= 0)
                return false;
            p += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }
    bool SendAll(const std::string& text) { return SendAll(text.data(), text.size()); }

    /// Waits up to timeoutMs until the socket is readable.
    bool WaitReadable(int timeoutMs) const
    {
        pollfd p{static_cast<decltype(pollfd::fd)>(m_nFd), POLLIN, 0};
        int rc;
        do
            rc = SystemPoll(&p, 1, timeoutMs);
        while (rc < 0 && errno == EINTR);
        return rc == 1;
    }

    /// One read within timeoutMs: bytes read, 0 at end of stream, -1 on time-out or error.
    ssize_t ReceiveSome(void* buffer, size_t length, int timeoutMs)
    {
        if (!WaitReadable(timeoutMs))
            return -1;
        return SystemReceive(m_nFd, buffer, length);
    }

    /// Exactly length bytes, each read within timeoutMs.
    bool ReceiveExact(void* buffer, size_t length, int timeoutMs)
    {
        char* p = static_cast<char*>(buffer);
        while (length > 0) {
            const ssize_t n = ReceiveSome(p, length, timeoutMs);
            if (n <= 0)
                return false;
            p += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    /// Accepts one connection within timeoutMs.
    CPlainSocket Accept(int timeoutMs)
    {
        if (!WaitReadable(timeoutMs))
            return CPlainSocket();
        return CPlainSocket(SystemAccept(m_nFd));
    }

    /// Closes so that the peer sees a reset instead of an orderly end.
    void Reset()
    {
        linger hard{1, 0};
        setsockopt(m_nFd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
        Close();
    }

    void Close()
    {
        if (m_nFd >= 0)
            SystemClose(m_nFd);
        m_nFd = -1;
    }

private:
    int m_nFd = -1;
};
