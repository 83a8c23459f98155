#pragma once
// A completion port with helpers to make connected sockets and to wait, bounded, for packets.

#include "platform/CompletionPort.h"
#include "platform/OverlappedSocket.h"
#include "platform/Socket.h"
#include "support/PlainSocket.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

class CEngineFixture : public ::testing::Test {
protected:
    static constexpr uintptr_t kListenKey = 1;
    static constexpr uint32_t kWaitMs = 10000; // upper bound for anything that must happen

    void SetUp() override
    {
        m_port = platform::CompletionPort::Create();
        ASSERT_TRUE(m_port);
    }

    void TearDown() override
    {
        for (platform::SOCKET s : m_sockets)
            platform::CloseSocket(s);
        m_port.reset();
    }

    platform::SOCKET Track(platform::SOCKET s)
    {
        EXPECT_NE(s, platform::INVALID_SOCKET);
        m_sockets.push_back(s);
        return s;
    }

    /// A TCP socket associated with the port under the key.
    platform::SOCKET AssociatedTcp(uintptr_t key)
    {
        const platform::SOCKET s = Track(platform::CreateTcpSocket());
        EXPECT_TRUE(m_port->Associate(s, key));
        return s;
    }

    /// A socket listening on 127.0.0.1, associated with kListenKey; its port in *port.
    platform::SOCKET Listener(uint16_t* port)
    {
        const platform::SOCKET s = AssociatedTcp(kListenKey);
        EXPECT_TRUE(platform::BindSocket(s, {htonl(INADDR_LOOPBACK), 0}));
        EXPECT_TRUE(platform::ListenSocket(s));
        platform::SocketAddressV4 local;
        EXPECT_TRUE(platform::GetLocalAddress(s, &local));
        *port = local.port;
        return s;
    }

    /// The next packet within the time limit.
    platform::CompletionPacket Next(uint32_t timeoutMs = kWaitMs)
    {
        platform::CompletionPacket packet;
        EXPECT_TRUE(m_port->Dequeue(packet, timeoutMs)) << "no completion within " << timeoutMs << " ms";
        return packet;
    }

    /// True when no packet arrives within the time.
    bool Quiet(uint32_t ms)
    {
        platform::CompletionPacket packet;
        return !m_port->Dequeue(packet, ms);
    }

    /// A server-side socket (key `key`) connected to a plain peer; the accept's one byte is consumed.
    platform::SOCKET Connected(uintptr_t key, CPlainSocket* peer)
    {
        uint16_t port = 0;
        const platform::SOCKET listener = Listener(&port);
        const platform::SOCKET s = AssociatedTcp(key);
        EXPECT_TRUE(platform::StartAccept(listener, s, m_acceptBuffer, 1, 32, &m_accept));
        *peer = CPlainSocket::ConnectTcp(port);
        EXPECT_TRUE(peer->SendAll("!"));
        const platform::CompletionPacket packet = Next();
        EXPECT_EQ(packet.overlapped, &m_accept);
        EXPECT_EQ(packet.bytes, 1u);
        return s;
    }

    std::unique_ptr<platform::CompletionPort> m_port;
    std::vector<platform::SOCKET> m_sockets;
    platform::OVERLAPPED m_accept{};
    uint8_t m_acceptBuffer[1 + 2 * 32]{};
};
