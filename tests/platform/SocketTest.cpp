#include "EngineFixture.h"

#include "platform/Inet.h"
#include "platform/SocketError.h"
#include "support/TestEndpoints.h"

#include <cstring>

namespace {

uint32_t Address(const char* text)
{
    uint32_t address = 0;
    EXPECT_TRUE(platform::ParseIPv4Address(text, address));
    return address;
}

using SocketTest = CEngineFixture;

} // namespace

TEST_F(SocketTest, StartupAlwaysSucceeds)
{
    EXPECT_TRUE(platform::StartupSockets());
}

TEST_F(SocketTest, ClosedHandlesAreNeverReused)
{
    const platform::SOCKET first = platform::CreateTcpSocket();
    ASSERT_NE(first, platform::INVALID_SOCKET);
    EXPECT_TRUE(platform::CloseSocket(first));
    EXPECT_FALSE(platform::CloseSocket(first));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaENotSock);
    const platform::SOCKET second = Track(platform::CreateTcpSocket());
    EXPECT_NE(second, first);
    EXPECT_FALSE(platform::SetNoDelay(first, true));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaENotSock);
}

TEST_F(SocketTest, BindConflictsAndRefusedConnectsReportWinsockNumbers)
{
    uint16_t port = 0;
    Listener(&port);
    const platform::SOCKET other = Track(platform::CreateTcpSocket());
    EXPECT_FALSE(platform::BindSocket(other, {htonl(INADDR_LOOPBACK), port}));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEAddrInUse);

    // A port nobody listens on: the connect is under way at first, then fails refused.
    CPlainSocket closedPort = CPlainSocket::ListenTcp();
    const uint16_t deadPort = closedPort.LocalPort();
    closedPort.Close();
    const platform::SOCKET client = Track(platform::CreateTcpSocket());
    if (!platform::ConnectSocket(client, {htonl(INADDR_LOOPBACK), deadPort})) {
        const int error = platform::GetLastSocketError();
        ASSERT_TRUE(error == platform::kWsaEWouldBlock || error == platform::kWsaEConnRefused) << error;
    }
    int pending = 0;
    for (int i = 0; i < 200 && pending == 0; ++i) {
        ASSERT_TRUE(platform::GetSocketPendingError(client, &pending));
        if (pending == 0) {
            EXPECT_TRUE(Quiet(5));
        }
    }
    EXPECT_EQ(pending, platform::kWsaEConnRefused);
}

TEST_F(SocketTest, ConnectReachesAListener)
{
    CPlainSocket listener = CPlainSocket::ListenTcp();
    const platform::SOCKET client = Track(platform::CreateTcpSocket());
    ASSERT_TRUE(platform::SetNoDelay(client, true));
    ASSERT_TRUE(platform::SetKeepAlive(client, 5000, 1000));
    if (!platform::ConnectSocket(client, {htonl(INADDR_LOOPBACK), listener.LocalPort()})) {
        ASSERT_EQ(platform::GetLastSocketError(), platform::kWsaEWouldBlock);
    }
    CPlainSocket accepted = listener.Accept(kWaitMs);
    ASSERT_TRUE(accepted.Valid());
    int pending = -1;
    ASSERT_TRUE(platform::GetSocketPendingError(client, &pending));
    EXPECT_EQ(pending, 0);
}

TEST_F(SocketTest, TcpOptionsFailOnUdpSockets)
{
    const platform::SOCKET udp = Track(platform::CreateUdpSocket());
    EXPECT_FALSE(platform::SetNoDelay(udp, true));
    EXPECT_NE(platform::GetLastSocketError(), 0);
    uint32_t size = 0;
    EXPECT_TRUE(platform::GetMaxMessageSize(udp, &size));
    EXPECT_EQ(size, 65507u);
    const platform::SOCKET tcp = Track(platform::CreateTcpSocket());
    EXPECT_FALSE(platform::GetMaxMessageSize(tcp, &size));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaENoProtoOpt);
}

TEST_F(SocketTest, InterfaceFacingTheLoopbackIsTheLoopback)
{
    uint32_t local = 0;
    ASSERT_TRUE(platform::GetInterfaceFacing(Address("127.0.0.1"), &local));
    EXPECT_EQ(local, Address("127.0.0.1"));
}

namespace {

// Multicast on the loopback of the test namespace: one sender, receivers that joined with
// and without a source, and one that joined nothing.
class MulticastTest : public CEngineFixture {
protected:
    static constexpr const char* kGroup = "239.192.7.7";

    void SetUp() override
    {
        CEngineFixture::SetUp();
        CPlainSocket probe = CPlainSocket::BindUdp(0); // a free port for the group
        m_nPort = probe.LocalPort();
    }

    platform::SOCKET Receiver(uintptr_t key)
    {
        const platform::SOCKET s = Track(platform::CreateUdpSocket());
        EXPECT_TRUE(platform::SetReuseAddress(s, true));
        EXPECT_TRUE(platform::BindSocket(s, {platform::kAnyAddress, m_nPort}));
        EXPECT_TRUE(platform::SetMulticastAll(s, false));
        EXPECT_TRUE(m_port->Associate(s, key));
        return s;
    }

    void Send(const char* text)
    {
        CPlainSocket sender(SystemSocket(AF_INET, SOCK_DGRAM));
        const uint32_t loopback = htonl(INADDR_LOOPBACK); // an in_addr's bytes
        ASSERT_EQ(SystemSetOption(sender.Fd(), IPPROTO_IP, IP_MULTICAST_IF, loopback), 0);
        sockaddr_in to = CPlainSocket::Loopback(m_nPort);
        to.sin_addr.s_addr = Address(kGroup);
        ASSERT_EQ(SystemSendTo(sender.Fd(), text, strlen(text), to),
                  static_cast<ssize_t>(strlen(text)));
    }

    uint16_t m_nPort = 0;
};

} // namespace

TEST_F(MulticastTest, OnlyMembersForTheRightSourceReceiveTheGroup)
{
    const uint32_t loopback = Address("127.0.0.1");
    const platform::SOCKET member = Receiver(1);
    ASSERT_TRUE(platform::JoinMulticastGroup(member, Address(kGroup), loopback, loopback));
    const platform::SOCKET otherSource = Receiver(2);
    ASSERT_TRUE(platform::JoinMulticastGroup(otherSource, Address(kGroup), Address("127.0.0.2"), loopback));
    const platform::SOCKET bystander = Receiver(3); // joined nothing

    platform::OVERLAPPED ovs[3]{};
    char buffers[3][64];
    const platform::SOCKET sockets[3] = {member, otherSource, bystander};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(platform::StartReceive(sockets[i], buffers[i], sizeof buffers[i], &ovs[i]));
    Send("tick");
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.key, 1u);
    ASSERT_EQ(packet.bytes, 4u);
    EXPECT_EQ(std::string(buffers[0], 4), "tick");
    EXPECT_TRUE(Quiet(200)); // neither the other source's member nor the bystander
    ASSERT_TRUE(platform::CloseSocket(otherSource));
    ASSERT_TRUE(platform::CloseSocket(bystander));
    EXPECT_EQ(Next().result, static_cast<uint32_t>(platform::kErrorOperationAborted));
    EXPECT_EQ(Next().result, static_cast<uint32_t>(platform::kErrorOperationAborted));
}

TEST_F(MulticastTest, SenderInterfaceOptionsApplyToPlatformSockets)
{
    const uint32_t loopback = Address("127.0.0.1");
    const platform::SOCKET member = Receiver(1);
    ASSERT_TRUE(platform::JoinMulticastGroup(member, Address(kGroup), loopback, loopback));
    platform::OVERLAPPED read{}, write{};
    char buffer[16];
    ASSERT_TRUE(platform::StartReceive(member, buffer, sizeof buffer, &read));

    const platform::SOCKET sender = Track(platform::CreateUdpSocket());
    ASSERT_TRUE(platform::SetMulticastInterface(sender, loopback));
    ASSERT_TRUE(m_port->Associate(sender, 7));
    ASSERT_TRUE(platform::StartSendTo(sender, "ab", 2, {Address(kGroup), m_nPort}, &write));
    bool sent = false, received = false;
    for (int i = 0; i < 2; ++i) {
        const platform::CompletionPacket packet = Next();
        sent |= packet.overlapped == &write && packet.bytes == 2;
        received |= packet.overlapped == &read && packet.bytes == 2;
    }
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received);
}

TEST_F(SocketTest, ListenerBindsAgainRightAfterTheServerClosedItsConnections)
{
    // The server side closes first, so its end of the connection stays in TIME_WAIT on the port.
    const uint16_t port = NextTestEndpoint().nPort;
    const platform::SOCKET listener = AssociatedTcp(kListenKey);
    ASSERT_TRUE(platform::BindSocket(listener, {htonl(INADDR_LOOPBACK), port}));
    ASSERT_TRUE(platform::ListenSocket(listener));
    const platform::SOCKET server = AssociatedTcp(2);
    ASSERT_TRUE(platform::StartAccept(listener, server, m_acceptBuffer, 1, 32, &m_accept));
    CPlainSocket peer = CPlainSocket::ConnectTcp(port);
    ASSERT_TRUE(peer.SendAll("!"));
    ASSERT_EQ(Next().overlapped, &m_accept);
    ASSERT_TRUE(platform::CloseSocket(server));
    char byte;
    ASSERT_EQ(peer.ReceiveSome(&byte, 1, kWaitMs), 0);
    peer.Close();
    ASSERT_TRUE(platform::CloseSocket(listener));

    const platform::SOCKET again = Track(platform::CreateTcpSocket());
    EXPECT_TRUE(platform::BindSocket(again, {htonl(INADDR_LOOPBACK), port})) << platform::GetLastSocketError();
    EXPECT_TRUE(platform::ListenSocket(again));
    // Still one listener per port.
    const platform::SOCKET rival = Track(platform::CreateTcpSocket());
    EXPECT_FALSE(platform::BindSocket(rival, {htonl(INADDR_LOOPBACK), port}));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEAddrInUse);
}
