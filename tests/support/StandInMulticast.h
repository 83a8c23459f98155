#pragma once
// The multicast side of the stand-in server: a plain UDP socket that sends chosen datagrams
// through the loopback, to the group or to a single address, from 127.0.0.1 (where the server
// is) or from another local address such as 127.0.0.2 (a foreign host). The whole of
// 127.0.0.0/8 is local on the loopback, so no address needs adding.

#include "support/PlainSocket.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

class CStandInMulticast {
public:
    explicit CStandInMulticast(const char* source = "127.0.0.1")
        : m_socket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        inet_pton(AF_INET, source, &at.sin_addr);
        bind(m_socket.Fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at);
        in_addr loopback{htonl(INADDR_LOOPBACK)};
        setsockopt(m_socket.Fd(), IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    }

    /// One datagram to the address (network order) and port; false when it was not sent.
    bool SendTo(uint32_t address, uint16_t port, const void* data, size_t length)
    {
        sockaddr_in to = CPlainSocket::Loopback(port);
        to.sin_addr.s_addr = address;
        return sendto(m_socket.Fd(), data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(length);
    }
    bool SendTo(uint32_t address, uint16_t port, const std::string& text)
    {
        return SendTo(address, port, text.data(), text.size());
    }

private:
    CPlainSocket m_socket;
};
