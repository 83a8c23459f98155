#include "EngineFixture.h"

#include "platform/SocketError.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

namespace {

constexpr uintptr_t kSlotKey = 42;
constexpr uint32_t kReceive = 64;
constexpr uint32_t kArea = 32;

class AcceptTest : public CEngineFixture {
protected:
    void SetUp() override
    {
        CEngineFixture::SetUp();
        m_listener = Listener(&m_nPort);
        m_socket = AssociatedTcp(kSlotKey);
    }

    bool PostAccept(platform::SOCKET s, platform::OVERLAPPED* ov, uint8_t* buffer)
    {
        return platform::StartAccept(m_listener, s, buffer, kReceive, kArea, ov);
    }

    int32_t ConnectTime(platform::SOCKET s)
    {
        int32_t seconds = -2;
        EXPECT_TRUE(platform::GetConnectTime(s, &seconds));
        return seconds;
    }

    platform::SOCKET m_listener = platform::INVALID_SOCKET;
    platform::SOCKET m_socket = platform::INVALID_SOCKET;
    uint16_t m_nPort = 0;
    platform::OVERLAPPED m_ov{};
    uint8_t m_buffer[kReceive + 2 * kArea]{};
};

} // namespace

TEST_F(AcceptTest, CompletesOnlyWithTheFirstBytesAndTheirAddresses)
{
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    EXPECT_EQ(ConnectTime(m_socket), -1);
    CPlainSocket peer = CPlainSocket::ConnectTcp(m_nPort);
    ASSERT_TRUE(peer.Valid());
    EXPECT_TRUE(Quiet(200)); // connected, but nothing sent yet
    ASSERT_TRUE(peer.SendAll("hello"));

    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.key, kListenKey); // an accept completes through the listening socket
    EXPECT_EQ(packet.overlapped, &m_ov);
    EXPECT_EQ(packet.result, 0u);
    ASSERT_EQ(packet.bytes, 5u);
    EXPECT_EQ(std::memcmp(m_buffer, "hello", 5), 0);
    uint32_t bytes = 0;
    EXPECT_TRUE(platform::GetOverlappedResult(m_ov, &bytes));
    EXPECT_EQ(bytes, 5u);

    platform::SocketAddressV4 local, remote;
    platform::GetAcceptAddresses(m_buffer, kReceive, kArea, &local, &remote);
    const sockaddr_in peerAddress = peer.LocalAddress();
    EXPECT_EQ(remote.address, peerAddress.sin_addr.s_addr);
    EXPECT_EQ(remote.port, ntohs(peerAddress.sin_port));
    EXPECT_EQ(local.address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(local.port, m_nPort);
    EXPECT_GE(ConnectTime(m_socket), 0);
}

TEST_F(AcceptTest, ConnectionWaitingWithItsBytesCompletesAtOnce)
{
    CPlainSocket peer = CPlainSocket::ConnectTcp(m_nPort); // in the backlog before any accept
    ASSERT_TRUE(peer.SendAll("early"));
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.overlapped, &m_ov);
    ASSERT_EQ(packet.bytes, 5u);
    EXPECT_EQ(std::memcmp(m_buffer, "early", 5), 0);
}

TEST_F(AcceptTest, SilentPeerKeepsTheAcceptPendingWhileItsConnectTimeGrows)
{
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    CPlainSocket peer = CPlainSocket::ConnectTcp(m_nPort);
    ASSERT_TRUE(peer.Valid());
    // Connect time counts whole seconds; it must pass 1 while no packet appears.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int32_t seconds = -1;
    while ((seconds = ConnectTime(m_socket)) < 1 && std::chrono::steady_clock::now() < deadline)
        ASSERT_TRUE(Quiet(100));
    EXPECT_GE(seconds, 1);
    ASSERT_TRUE(peer.SendAll("x"));
    EXPECT_EQ(Next().bytes, 1u);
}

TEST_F(AcceptTest, PeerThatClosesWithoutSendingCompletesWithZeroBytes)
{
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    CPlainSocket::ConnectTcp(m_nPort).Close();
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.overlapped, &m_ov);
    EXPECT_EQ(packet.bytes, 0u);
}

TEST_F(AcceptTest, ClosingTheAcceptingSocketAbortsTheAccept)
{
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    ASSERT_TRUE(platform::CloseSocket(m_socket));
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.overlapped, &m_ov);
    EXPECT_EQ(packet.result, static_cast<uint32_t>(platform::kErrorOperationAborted));
    EXPECT_EQ(packet.bytes, 0u);
    EXPECT_TRUE(Quiet(100));

    // The next connection goes to an accept that is still wanted.
    const platform::SOCKET other = AssociatedTcp(kSlotKey + 1);
    platform::OVERLAPPED ov{};
    ASSERT_TRUE(PostAccept(other, &ov, m_buffer));
    CPlainSocket peer = CPlainSocket::ConnectTcp(m_nPort);
    ASSERT_TRUE(peer.SendAll("y"));
    EXPECT_EQ(Next().overlapped, &ov);
}

TEST_F(AcceptTest, ClosingTheAcceptingSocketAfterTheConnectionAbortsTheAccept)
{
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    CPlainSocket peer = CPlainSocket::ConnectTcp(m_nPort);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (ConnectTime(m_socket) < 0 && std::chrono::steady_clock::now() < deadline)
        ASSERT_TRUE(Quiet(10));
    ASSERT_GE(ConnectTime(m_socket), 0);
    ASSERT_TRUE(platform::CloseSocket(m_socket));
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.result, static_cast<uint32_t>(platform::kErrorOperationAborted));
    char byte;
    EXPECT_EQ(peer.ReceiveSome(&byte, 1, kWaitMs), 0); // the peer sees the end
}

TEST_F(AcceptTest, ClosingTheListenerAbortsEveryPendingAccept)
{
    const platform::SOCKET second = AssociatedTcp(kSlotKey + 1);
    platform::OVERLAPPED ov2{};
    uint8_t buffer2[sizeof m_buffer];
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    ASSERT_TRUE(PostAccept(second, &ov2, buffer2));
    ASSERT_TRUE(platform::CloseSocket(m_listener));
    // In either order: Windows gives no order to the aborts of one close.
    const platform::CompletionPacket a = Next();
    const platform::CompletionPacket b = Next();
    EXPECT_TRUE((a.overlapped == &m_ov && b.overlapped == &ov2) || (a.overlapped == &ov2 && b.overlapped == &m_ov));
    EXPECT_EQ(a.result, static_cast<uint32_t>(platform::kErrorOperationAborted));
    EXPECT_EQ(b.result, static_cast<uint32_t>(platform::kErrorOperationAborted));
    // The accepting socket is free for another accept.
    EXPECT_EQ(ConnectTime(m_socket), -1);
    uint16_t port = 0;
    m_listener = Listener(&port);
    EXPECT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
}

TEST_F(AcceptTest, EachConnectionGoesToOneAcceptInTurn)
{
    constexpr int kSlots = 5;
    platform::SOCKET sockets[kSlots];
    platform::OVERLAPPED ovs[kSlots]{};
    uint8_t buffers[kSlots][sizeof m_buffer];
    for (int i = 0; i < kSlots; ++i) {
        sockets[i] = AssociatedTcp(100 + i);
        ASSERT_TRUE(PostAccept(sockets[i], &ovs[i], buffers[i]));
    }
    std::vector<CPlainSocket> peers;
    for (int i = 0; i < kSlots; ++i) {
        peers.push_back(CPlainSocket::ConnectTcp(m_nPort));
        ASSERT_TRUE(peers.back().SendAll(std::string(1, char('a' + i))));
    }
    bool done[kSlots]{};
    for (int i = 0; i < kSlots; ++i) {
        const platform::CompletionPacket packet = Next();
        const int slot = static_cast<int>(static_cast<platform::OVERLAPPED*>(packet.overlapped) - ovs);
        ASSERT_TRUE(slot >= 0 && slot < kSlots);
        EXPECT_FALSE(done[slot]);
        done[slot] = true;
        EXPECT_EQ(packet.bytes, 1u);
    }
    EXPECT_TRUE(Quiet(100));
}

TEST_F(AcceptTest, DisconnectKeepsTheSocketForTheNextConnection)
{
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    CPlainSocket first = CPlainSocket::ConnectTcp(m_nPort);
    ASSERT_TRUE(first.SendAll("1"));
    ASSERT_EQ(Next().overlapped, &m_ov);

    platform::OVERLAPPED read{}, disconnect{};
    char data[16];
    ASSERT_TRUE(platform::StartReceive(m_socket, data, sizeof data, &read));
    ASSERT_TRUE(platform::StartDisconnect(m_socket, &disconnect));
    // The pending receive is aborted before the disconnect completes.
    const platform::CompletionPacket aborted = Next();
    EXPECT_EQ(aborted.overlapped, &read);
    EXPECT_EQ(aborted.key, kSlotKey);
    EXPECT_EQ(aborted.result, static_cast<uint32_t>(platform::kErrorOperationAborted));
    const platform::CompletionPacket done = Next();
    EXPECT_EQ(done.overlapped, &disconnect);
    EXPECT_EQ(done.key, kSlotKey);
    EXPECT_EQ(done.result, 0u);
    char byte;
    EXPECT_EQ(first.ReceiveSome(&byte, 1, kWaitMs), 0);
    EXPECT_EQ(ConnectTime(m_socket), -1);

    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    CPlainSocket second = CPlainSocket::ConnectTcp(m_nPort);
    ASSERT_TRUE(second.SendAll("2"));
    const platform::CompletionPacket again = Next();
    EXPECT_EQ(again.overlapped, &m_ov);
    EXPECT_EQ(m_buffer[0], '2');
    ASSERT_TRUE(platform::StartSend(m_socket, "back", 4, &read));
    EXPECT_EQ(Next().bytes, 4u);
    char echo[4];
    ASSERT_TRUE(second.ReceiveExact(echo, 4, kWaitMs));
    EXPECT_EQ(std::memcmp(echo, "back", 4), 0);
}

TEST_F(AcceptTest, RefusesWhatCannotBeStarted)
{
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    platform::OVERLAPPED second{};
    EXPECT_FALSE(PostAccept(m_socket, &second, m_buffer)); // one accept per socket
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEInval);
    EXPECT_FALSE(platform::StartAccept(m_listener, m_socket, m_buffer, kReceive, 4, &second));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEInval);
    const platform::SOCKET unassociated = Track(platform::CreateTcpSocket());
    EXPECT_FALSE(PostAccept(unassociated, &second, m_buffer));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEInval);
    EXPECT_FALSE(PostAccept(platform::INVALID_SOCKET, &second, m_buffer));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaENotSock);
    EXPECT_TRUE(Quiet(50)); // nothing refused ever completes
}

namespace {

// Where the accepting socket's accept stands when the socket is closed or disconnected.
enum class Stage { Queued, ConnectedParked, ConnectedAtOnce };
enum class Ending { Close, Disconnect };

struct EndingCase {
    Stage stage;
    Ending ending;
    const char* name;
};

class AcceptEndingTest : public AcceptTest, public ::testing::WithParamInterface<EndingCase> {};

} // namespace

TEST_P(AcceptEndingTest, EndsTheAcceptBeforeReturningAndLosesNoLaterConnection)
{
    const EndingCase c = GetParam();
    CPlainSocket peer;
    if (c.stage == Stage::ConnectedAtOnce)
        peer = CPlainSocket::ConnectTcp(m_nPort); // waiting in the backlog: taken inside the call
    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    if (c.stage == Stage::ConnectedParked)
        peer = CPlainSocket::ConnectTcp(m_nPort);
    if (c.stage != Stage::Queued) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (ConnectTime(m_socket) < 0 && std::chrono::steady_clock::now() < deadline)
            ASSERT_TRUE(Quiet(5));
        ASSERT_GE(ConnectTime(m_socket), 0);
    }
    platform::OVERLAPPED disconnect{};
    if (c.ending == Ending::Close)
        ASSERT_TRUE(platform::CloseSocket(m_socket));
    else
        ASSERT_TRUE(platform::StartDisconnect(m_socket, &disconnect));

    // Everything completed inside the call: the packets are queued by the time it returned.
    platform::CompletionPacket packet;
    ASSERT_TRUE(m_port->Dequeue(packet, 0));
    EXPECT_EQ(packet.overlapped, &m_ov);
    EXPECT_EQ(packet.result, static_cast<uint32_t>(platform::kErrorOperationAborted));
    if (c.ending == Ending::Disconnect) {
        ASSERT_TRUE(m_port->Dequeue(packet, 0));
        EXPECT_EQ(packet.overlapped, &disconnect);
        EXPECT_EQ(packet.result, 0u);
    }
    EXPECT_TRUE(Quiet(50));
    if (c.stage != Stage::Queued) {
        char byte;
        EXPECT_EQ(peer.ReceiveSome(&byte, 1, kWaitMs), 0);
    }

    // The next connection reaches the next accept (a disconnected socket takes it itself).
    const platform::SOCKET next = c.ending == Ending::Close ? AssociatedTcp(kSlotKey + 1) : m_socket;
    platform::OVERLAPPED ov{};
    uint8_t buffer[sizeof m_buffer];
    ASSERT_TRUE(PostAccept(next, &ov, buffer));
    CPlainSocket other = CPlainSocket::ConnectTcp(m_nPort);
    ASSERT_TRUE(other.SendAll("z"));
    packet = Next();
    EXPECT_EQ(packet.overlapped, &ov);
    ASSERT_EQ(packet.bytes, 1u);
    EXPECT_EQ(buffer[0], 'z');
}

INSTANTIATE_TEST_SUITE_P(Stages, AcceptEndingTest,
                         ::testing::Values(EndingCase{Stage::Queued, Ending::Close, "QueuedClose"},
                                           EndingCase{Stage::Queued, Ending::Disconnect, "QueuedDisconnect"},
                                           EndingCase{Stage::ConnectedParked, Ending::Close, "ParkedClose"},
                                           EndingCase{Stage::ConnectedParked, Ending::Disconnect, "ParkedDisconnect"},
                                           EndingCase{Stage::ConnectedAtOnce, Ending::Close, "AtOnceClose"},
                                           EndingCase{Stage::ConnectedAtOnce, Ending::Disconnect, "AtOnceDisconnect"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AcceptTest, CloseRacingAnArrivingConnectionEndsTheAcceptAndKeepsTheConnection)
{
    // The connection arrives while the first accept is being closed: that accept ends inside
    // CloseSocket, and the connection either reaches the second accept or, if the first had
    // already taken it, is ended with that socket. It never waits in the backlog for nobody.
    for (int round = 0; round < 100; ++round) {
        const platform::SOCKET first = AssociatedTcp(kSlotKey);
        const platform::SOCKET second = AssociatedTcp(kSlotKey + 1);
        platform::OVERLAPPED ovFirst{}, ovSecond{};
        uint8_t bufFirst[sizeof m_buffer], bufSecond[sizeof m_buffer];
        ASSERT_TRUE(PostAccept(first, &ovFirst, bufFirst));
        ASSERT_TRUE(PostAccept(second, &ovSecond, bufSecond));
        CPlainSocket peer = CPlainSocket::ConnectTcp(m_nPort);
        ASSERT_TRUE(peer.SendAll("r"));
        ASSERT_TRUE(platform::CloseSocket(first));

        bool firstDone = false, secondDone = false, firstTook = false;
        platform::CompletionPacket packet;
        while (m_port->Dequeue(packet, 0)) {
            firstDone |= packet.overlapped == &ovFirst;
            firstTook |= packet.overlapped == &ovFirst && packet.result == 0;
            secondDone |= packet.overlapped == &ovSecond;
        }
        ASSERT_TRUE(firstDone) << "round " << round;
        if (!firstTook && !secondDone) {
            // Either the second accept gets the connection, or the peer sees it end.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
            bool ended = false;
            while (!secondDone && !ended && std::chrono::steady_clock::now() < deadline) {
                if (m_port->Dequeue(packet, 5)) {
                    ASSERT_EQ(packet.overlapped, &ovSecond) << "round " << round;
                    EXPECT_EQ(packet.bytes, 1u);
                    secondDone = true;
                } else if (peer.WaitReadable(0)) {
                    char byte;
                    ended = SystemReceive(peer.Fd(), &byte, 1) <= 0;
                }
            }
            ASSERT_TRUE(secondDone || ended) << "round " << round << ": the connection waits for nobody";
        }
        ASSERT_TRUE(platform::CloseSocket(second));
        if (!secondDone) {
            ASSERT_TRUE(m_port->Dequeue(packet, 0));
            EXPECT_EQ(packet.overlapped, &ovSecond);
        }
    }
}

TEST_F(AcceptTest, FailedAcceptLeavesTheSocketFreeForTheNextOne)
{
    const platform::SOCKET notListening = AssociatedTcp(kListenKey);
    ASSERT_TRUE(platform::BindSocket(notListening, {htonl(INADDR_LOOPBACK), 0}));
    ASSERT_TRUE(platform::StartAccept(notListening, m_socket, m_buffer, kReceive, kArea, &m_ov));
    platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.overlapped, &m_ov);
    EXPECT_EQ(packet.result, static_cast<uint32_t>(platform::kWsaEInval));

    ASSERT_TRUE(PostAccept(m_socket, &m_ov, m_buffer));
    CPlainSocket peer = CPlainSocket::ConnectTcp(m_nPort);
    ASSERT_TRUE(peer.SendAll("ok"));
    packet = Next();
    EXPECT_EQ(packet.overlapped, &m_ov);
    EXPECT_EQ(packet.result, 0u);
    EXPECT_EQ(packet.bytes, 2u);
    platform::OVERLAPPED read{};
    char buffer[4];
    ASSERT_TRUE(platform::StartReceive(m_socket, buffer, sizeof buffer, &read)); // not refused with 10022
    ASSERT_TRUE(platform::CloseSocket(m_socket)); // the receive must end before its context
    EXPECT_EQ(Next().overlapped, &read);
}

#ifndef _WIN32
// A Linux socket takes its descriptor at the accept; a Windows socket is a handle from its
// creation on.
TEST_F(AcceptTest, WaitingAcceptsHoldNoDescriptorOfTheirOwn)
{
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{});
    };
    constexpr int kSlots = 20;
    platform::OVERLAPPED ovs[kSlots]{};
    uint8_t buffers[kSlots][sizeof m_buffer];
    const auto before = openDescriptors();
    int started = 0;
    while (started < kSlots && PostAccept(AssociatedTcp(200 + started), &ovs[started], buffers[started]))
        ++started;
    EXPECT_EQ(started, kSlots);
    EXPECT_EQ(openDescriptors(), before);
    ASSERT_TRUE(platform::CloseSocket(m_listener)); // the accepts must end before their contexts
    for (int i = 0; i < started; ++i)
        EXPECT_EQ(Next().result, static_cast<uint32_t>(platform::kErrorOperationAborted));
}
#endif
