#include "platform/Event.h"
#include "platform/SocketError.h"
#include "platform/SocketEvent.h"
#include "platform/SocketIo.h"
#include "platform/Wait.h"
#include "support/Ipv4.h"
#include "support/PlainSocket.h"
#include "support/TestEndpoints.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::FD_CLOSE;
using platform::FD_CONNECT;
using platform::FD_READ;

constexpr uint32_t kWaitMs = 10000;
constexpr uint32_t kAll = FD_READ | FD_CONNECT | FD_CLOSE;
const uint32_t kLoopback = Ipv4(127, 0, 0, 1);

class SocketEventTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_event = platform::SocketEvent::Create();
        ASSERT_TRUE(m_event);
    }
    void TearDown() override
    {
        m_event->Reset();
        for (platform::SOCKET s : m_sockets)
            platform::CloseSocket(s);
    }

    platform::SOCKET Watched(platform::SOCKET s, uint32_t mask)
    {
        EXPECT_NE(s, platform::INVALID_SOCKET);
        m_sockets.push_back(s);
        EXPECT_TRUE(m_event->Select(s, mask));
        return s;
    }

    /// What the next signal reports; no events when nothing is signalled within the time.
    platform::NetworkEvents Next(uint32_t timeoutMs = kWaitMs)
    {
        platform::NetworkEvents events;
        platform::WaitObject* object = m_event.get();
        if (platform::WaitForAny(&object, 1, timeoutMs) == 0) {
            EXPECT_TRUE(m_event->Enumerate(&events));
        }
        return events;
    }

    /// A watched TCP socket connected to a plain peer that the listener accepted.
    platform::SOCKET ConnectedTo(CPlainSocket* peer)
    {
        CPlainSocket listener = CPlainSocket::ListenTcp();
        const platform::SOCKET s = Watched(platform::CreateTcpSocket(), kAll);
        EXPECT_TRUE(m_event->StartConnect({kLoopback, listener.LocalPort()}));
        const platform::NetworkEvents connected = Next();
        EXPECT_EQ(connected.events, FD_CONNECT);
        EXPECT_EQ(connected.connectError, 0);
        *peer = listener.Accept(kWaitMs);
        EXPECT_TRUE(peer->Valid());
        return s;
    }

    std::unique_ptr<platform::SocketEvent> m_event;
    std::vector<platform::SOCKET> m_sockets;
};

TEST_F(SocketEventTest, NothingIsReportedBeforeAConnectStarts)
{
    Watched(platform::CreateTcpSocket(), kAll);
    EXPECT_EQ(Next(200).events, 0u);
    platform::NetworkEvents events;
    ASSERT_TRUE(m_event->Enumerate(&events));
    EXPECT_EQ(events.events, 0u);
}

TEST_F(SocketEventTest, ARefusedConnectIsOneConnectEventWithItsError)
{
    Watched(platform::CreateTcpSocket(), kAll);
    ASSERT_TRUE(m_event->StartConnect({kLoopback, NextTestEndpoint().nPort}));
    const platform::NetworkEvents refused = Next();
    EXPECT_EQ(refused.events, FD_CONNECT);
    EXPECT_EQ(refused.connectError, platform::kWsaEConnRefused);
    EXPECT_EQ(Next(200).events, 0u) << "a failed connect reports nothing more";
}

// The peer's end comes with read, so that what it sent before is read first; it is reported once.
TEST_F(SocketEventTest, ThePeersEndIsReportedOnceWithRead)
{
    struct Case {
        const char* name;
        bool reset;
        std::string sent;
    };
    for (const Case& c : {Case{"data then close", false, "last words"}, Case{"reset", true, ""}}) {
        SCOPED_TRACE(c.name);
        CPlainSocket peer;
        const platform::SOCKET s = ConnectedTo(&peer);
        ASSERT_TRUE(peer.SendAll(c.sent.data(), c.sent.size()));
        c.reset ? peer.Reset() : peer.Close();
        platform::NetworkEvents events;
        for (int i = 0; i < 100 && (events.events & FD_CLOSE) == 0; ++i)
            events = Next(); // the data may be reported before the end has arrived
        EXPECT_EQ(events.events, FD_READ | FD_CLOSE);

        char buffer[64];
        uint32_t received = 0;
        if (c.reset) {
            EXPECT_FALSE(platform::Receive(s, buffer, sizeof buffer, &received));
            EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEConnReset);
        } else {
            ASSERT_TRUE(platform::Receive(s, buffer, sizeof buffer, &received));
            EXPECT_EQ(std::string(buffer, received), c.sent);
            ASSERT_TRUE(platform::Receive(s, buffer, sizeof buffer, &received));
            EXPECT_EQ(received, 0u) << "the orderly end reads as 0 bytes";
        }
        EXPECT_EQ(Next(200).events, 0u);
    }
}

TEST_F(SocketEventTest, SendAllWaitsForRoomUntilEverythingIsSent)
{
    CPlainSocket peer;
    const platform::SOCKET s = ConnectedTo(&peer);
    std::string block(8 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7);
    bool sent = false;
    std::thread sender([&] { sent = platform::SendAll(s, block.data(), static_cast<uint32_t>(block.size())); });
    std::string arrived(block.size(), '\0');
    const bool whole = peer.ReceiveExact(arrived.data(), arrived.size(), kWaitMs);
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(whole && arrived == block);
}

// A peer that stops reading must not keep the sender for ever.
TEST_F(SocketEventTest, SendAllToAPeerThatReadsNothingEndsAtItsInterruptOrStall)
{
    struct Case {
        const char* name;
        uint32_t stallMs;
        bool interrupt;
        int error;
    };
    const Case cases[] = {
        {"interrupt", platform::kInfinite, true, platform::kWsaEIntr},
        {"stall", 300, false, platform::kWsaETimedOut},
    };
    const std::string block(32 << 20, 'b'); // far more than both ends buffer
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CPlainSocket peer;
        const platform::SOCKET s = ConnectedTo(&peer);
        const auto interrupt = platform::Event::Create(platform::ResetMode::Manual);
        ASSERT_TRUE(interrupt);
        bool sent = true;
        int error = 0;
        const auto start = std::chrono::steady_clock::now();
        std::thread sender([&] {
            sent = platform::SendAll(s, block.data(), static_cast<uint32_t>(block.size()), interrupt.get(), c.stallMs);
            error = platform::GetLastSocketError();
        });
        if (c.interrupt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            interrupt->Set();
        }
        sender.join();
        EXPECT_FALSE(sent);
        EXPECT_EQ(error, c.error);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    }
}

TEST_F(SocketEventTest, SendingToAPeerThatHasGoneFailsWithoutASignal)
{
    CPlainSocket peer;
    const platform::SOCKET s = ConnectedTo(&peer);
    peer.Reset();
    bool sent = true;
    for (int i = 0; i < 1000 && sent; ++i) {
        sent = platform::SendAll(s, "x", 1);
        if (sent)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(sent);
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEConnReset);
}

TEST_F(SocketEventTest, DatagramsAreReadWithTheirSenderAndTruncationIsReported)
{
    const platform::SOCKET s = Watched(platform::CreateUdpSocket(), FD_READ);
    ASSERT_TRUE(platform::BindSocket(s, {kLoopback, 0}));
    platform::SocketAddressV4 local;
    ASSERT_TRUE(platform::GetLocalAddress(s, &local));
    CPlainSocket sender = CPlainSocket::BindUdp(0);
    const sockaddr_in to = CPlainSocket::Loopback(local.port);
    const std::string datagram(200, 'd');
    char buffer[256];
    uint32_t received = 0;
    platform::SocketAddressV4 from;

    ASSERT_EQ(SystemSendTo(sender.Fd(), datagram.data(), datagram.size(), to),
              200);
    EXPECT_EQ(Next().events, FD_READ);
    ASSERT_EQ(platform::ReceiveFrom(s, buffer, sizeof buffer, &received, &from), platform::DatagramRead::Datagram);
    EXPECT_EQ(std::string(buffer, received), datagram);
    EXPECT_EQ(from, (platform::SocketAddressV4{kLoopback, sender.LocalPort()}));
    EXPECT_EQ(platform::ReceiveFrom(s, buffer, sizeof buffer, &received, &from), platform::DatagramRead::NoDatagram)
        << "nothing left after the readiness was used up";

    ASSERT_EQ(SystemSendTo(sender.Fd(), datagram.data(), datagram.size(), to),
              200);
    EXPECT_EQ(Next().events, FD_READ);
    from = {};
    ASSERT_EQ(platform::ReceiveFrom(s, buffer, 100, &received, &from), platform::DatagramRead::Truncated);
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEMsgSize);
    EXPECT_EQ(received, 100u);
    EXPECT_EQ(from.address, kLoopback);
}

} // namespace
