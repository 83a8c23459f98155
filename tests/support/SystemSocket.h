#pragma once
// The system's own socket calls for the tests' independent peers: POSIX sockets on Linux,
// Winsock on Windows, under the names the helpers use.

#ifdef _WIN32
#include "support/WindowsHeaders.h"

#include <cstdint>

// Winsock's handles fit an int, as every kernel handle's value does.
inline int SystemSocket(int family, int type)
{
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started ? static_cast<int>(::socket(family, type, 0)) : -1;
}
inline int SystemClose(int fd) { return ::closesocket(static_cast<SOCKET>(fd)); }
inline int SystemPoll(pollfd* fds, unsigned count, int timeoutMs) { return ::WSAPoll(fds, count, timeoutMs); }
inline int SystemAccept(int fd) { return static_cast<int>(::accept(static_cast<SOCKET>(fd), nullptr, nullptr)); }
using SystemLength = int;
constexpr int kSystemNoSignal = 0; // Windows has no SIGPIPE to hold back
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

inline int SystemSocket(int family, int type) { return ::socket(family, type | SOCK_CLOEXEC, 0); }
inline int SystemClose(int fd) { return ::close(fd); }
inline int SystemPoll(pollfd* fds, unsigned count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }
inline int SystemAccept(int fd) { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
using SystemLength = socklen_t;
constexpr int kSystemNoSignal = MSG_NOSIGNAL;
#endif

#include <cstddef>

/// setsockopt with the value's type, which Winsock takes as bytes.
template <class T>
int SystemSetOption(int fd, int level, int name, const T& value)
{
    return ::setsockopt(fd, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

/// One datagram to the address; the bytes sent or -1.
inline long long SystemSendTo(int fd, const void* data, size_t length, const sockaddr_in& to)
{
    return ::sendto(fd, static_cast<const char*>(data), static_cast<int>(length), 0,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

/// One receive; the bytes read, 0 at the end, -1 on an error.
inline long long SystemReceive(int fd, void* buffer, size_t length)
{
    return ::recv(fd, static_cast<char*>(buffer), static_cast<int>(length), 0);
}
