#pragma once
// The multicast side of the stand-in server: a plain UDP socket that sends chosen datagrams
// through the loopback, to the group or to a single address, from 127.0.0.1 (where the server
// is) or from another local address such as 127.0.0.2 (a foreign host). The whole of
// 127.0.0.0/8 is local on the loopback, so no address needs adding.

#include "support/PlainSocket.h"

#include <cstdint>
#include <string>

class CStandInMulticast {
public:
    explicit CStandInMulticast(const char* source = "127.0.0.1")
        : m_socket(SystemSocket(AF_INET, SOCK_DGRAM))
    {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        inet_pton(AF_INET, source, &at.sin_addr);
        bind(m_socket.Fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at);
        const uint32_t loopback = htonl(INADDR_LOOPBACK); // an in_addr's bytes
        SystemSetOption(m_socket.Fd(), IPPROTO_IP, IP_MULTICAST_IF, loopback);
    }

    /// One datagram to the address (network order) and port; false when it was not sent.
    bool SendTo(uint32_t address, uint16_t port, const void* data, size_t length)
    {
        sockaddr_in to = CPlainSocket::Loopback(port);
        to.sin_addr.s_addr = address;
        return SystemSendTo(m_socket.Fd(), data, length, to) == static_cast<long long>(length);
    }
    bool SendTo(uint32_t address, uint16_t port, const std::string& text)
    {
        return SendTo(address, port, text.data(), text.size());
    }

private:
    CPlainSocket m_socket;
};
