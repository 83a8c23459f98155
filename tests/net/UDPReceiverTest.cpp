#include "RecordingUDPReceiver.h"

#include "net/client/UDP_Receiver.h"
#include "Subsidiary/NetErrors.h"
#include "support/HeldCallback.h"
#include "support/Ipv4.h"
#include "support/PlainSocket.h"
#include "support/StandInMulticast.h"
#include "support/TestEndpoints.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace {

using Events = std::vector<std::string>;
using namespace std::chrono_literals;

const uint32_t kServer = Ipv4(127, 0, 0, 1);
const uint32_t kForeignHost = Ipv4(127, 0, 0, 2);

class UDPReceiverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_endpoint = NextTestEndpoint();
        ASSERT_EQ(Start(m_receiver, m_owner), EIOCPE_SUCCESS);
    }

    uint32_t Start(CUDP_Receiver& receiver, IUDPPacketsReceiver& owner)
    {
        EXPECT_EQ(receiver.Init(m_endpoint.nGroup, m_endpoint.nPort, kServer, &owner), EIOCPE_SUCCESS);
        return receiver.Start();
    }

    bool ToGroup(CStandInMulticast& sender, const std::string& data)
    {
        return sender.SendTo(m_endpoint.nGroup, m_endpoint.nPort, data);
    }

    CTestEndpoint m_endpoint;
    CRecordingUDPReceiver m_owner;
    CUDP_Receiver m_receiver;
    CStandInMulticast m_server;
};

TEST(UDPReceiverInitTest, RefusesAMissingGroupPortSourceOrOwner)
{
    CRecordingUDPReceiver owner;
    const uint32_t group = Ipv4(239, 77, 0, 1);
    struct Case {
        uint32_t group;
        uint16_t port;
        uint32_t source;
        IUDPPacketsReceiver* owner;
    };
    for (const Case& c : {Case{0, 5000, kServer, &owner}, Case{group, 0, kServer, &owner}, Case{group, 5000, 0, &owner},
                          Case{group, 5000, kServer, nullptr}}) {
        CUDP_Receiver receiver;
        EXPECT_EQ(receiver.Init(c.group, c.port, c.source, c.owner), EIOCPE_BAD_PARAMS);
        EXPECT_FALSE(receiver.IsInitialised());
    }
}

TEST_F(UDPReceiverTest, DatagramsUpToTheLargestArriveWhole)
{
    const std::vector<std::string> datagrams = {"x", std::string(4096, 'm'), std::string(65507, 'L')};
    for (const std::string& datagram : datagrams)
        ASSERT_TRUE(ToGroup(m_server, datagram));
    const Events events = m_owner.WaitFor(datagrams.size());
    ASSERT_EQ(events.size(), datagrams.size());
    for (size_t i = 0; i < datagrams.size(); ++i)
        EXPECT_TRUE(events[i] == "data " + datagrams[i]) << "datagram " << i << " arrived as " << events[i].size() - 5;
}

// The last datagram from the server shows that everything sent before it has been dealt with.
TEST_F(UDPReceiverTest, OnlyTheServerIsHeardAndOnlyItsEmptyDatagramIsALoss)
{
    CStandInMulticast foreign("127.0.0.2");
    ASSERT_TRUE(ToGroup(foreign, "to the group"));
    ASSERT_TRUE(foreign.SendTo(kServer, m_endpoint.nPort, "to the port"));
    ASSERT_TRUE(ToGroup(foreign, ""));
    ASSERT_TRUE(foreign.SendTo(kServer, m_endpoint.nPort, ""));
    ASSERT_TRUE(ToGroup(m_server, ""));
    ASSERT_TRUE(ToGroup(m_server, "last"));
    EXPECT_EQ(m_owner.WaitFor(2), (Events{"error 132", "data last"}));
}

// Another socket of the host has joined a second group on the stream's port.
TEST_F(UDPReceiverTest, AnotherGroupOnTheSamePortIsNotHeard)
{
    const CTestEndpoint other = NextTestEndpoint();
    CPlainSocket member = CPlainSocket::BindUdp(m_endpoint.nPort);
    ASSERT_TRUE(member.JoinGroup(other.strGroup.c_str()));
    ASSERT_TRUE(m_server.SendTo(other.nGroup, m_endpoint.nPort, "other group"));
    ASSERT_TRUE(ToGroup(m_server, "last"));
    EXPECT_EQ(m_owner.WaitFor(1), (Events{"data last"}));
    char byte;
    EXPECT_EQ(member.ReceiveSome(&byte, 1, 1000), 1) << "the other group did carry it";
}

TEST_F(UDPReceiverTest, TwoReceiversOnOnePortBothGetTheGroup)
{
    CRecordingUDPReceiver secondOwner;
    CUDP_Receiver second;
    ASSERT_EQ(Start(second, secondOwner), EIOCPE_SUCCESS);
    ASSERT_TRUE(ToGroup(m_server, "both"));
    EXPECT_EQ(m_owner.WaitFor(1), (Events{"data both"}));
    EXPECT_EQ(secondOwner.WaitFor(1), (Events{"data both"}));
}

class CHeldOwner : public IUDPPacketsReceiver, public CHeldCallback {
public:
    void OnUDPAsyncError(uint32_t) override {}
    void OnUDPPktReceived(const uint8_t*, uint32_t) override { Enter(); }
};

TEST_F(UDPReceiverTest, StopGivesUpAThreadHeldInTheOwnersCallbackWhichEndsOnceReleased)
{
    CHeldOwner owner;
    CUDP_Receiver receiver;
    std::unique_lock<std::mutex> hold = owner.Hold();
    ASSERT_EQ(Start(receiver, owner), EIOCPE_SUCCESS);
    ASSERT_TRUE(ToGroup(m_server, "held"));
    const ThreadNumber thread = owner.WaitEntered(10s);
    ASSERT_NE(thread, 0);
    const auto start = std::chrono::steady_clock::now();
    receiver.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_FALSE(receiver.IsRunning());
    hold.unlock();
    EXPECT_TRUE(WaitUntilEnded(thread, 10s));
}

/// Holds the receive thread in the first datagram's callback, then counts what follows.
class CHeldCountingOwner : public IUDPPacketsReceiver, public CHeldCallback {
public:
    void OnUDPAsyncError(uint32_t error) override { m_events.Record("error " + std::to_string(error)); }
    void OnUDPPktReceived(const uint8_t*, uint32_t length) override
    {
        if (!m_bFirstSeen.exchange(true))
            Enter();
        m_events.Record(std::to_string(length));
    }
    CRecordedEvents& Events() { return m_events; }

private:
    std::atomic<bool> m_bFirstSeen{false};
    CRecordedEvents m_events;
};

// The kernel keeps what arrives while the owner holds the thread only as far as the socket's
// receive buffer reaches: Linux's default takes about 25 datagrams of 4 KiB, 8 MiB about 1,980.
TEST_F(UDPReceiverTest, ABurstOfAboutTwoThousandDatagramsWaitsWholeWhileTheOwnerHoldsTheThread)
{
    constexpr int kBurst = 1800;
    CHeldCountingOwner owner;
    CUDP_Receiver receiver;
    std::unique_lock<std::mutex> hold = owner.Hold();
    ASSERT_EQ(Start(receiver, owner), EIOCPE_SUCCESS);
    ASSERT_TRUE(ToGroup(m_server, "first"));
    ASSERT_NE(owner.WaitEntered(10s), 0);
    const std::string datagram(4096, 'b');
    for (int i = 0; i < kBurst; ++i)
        ASSERT_TRUE(ToGroup(m_server, datagram));
    hold.unlock();
    const Events events = owner.Events().WaitFor(kBurst + 1);
    EXPECT_EQ(events.size(), static_cast<size_t>(kBurst + 1));
}

TEST_F(UDPReceiverTest, StartsAgainAfterAStop)
{
    ASSERT_TRUE(ToGroup(m_server, "one"));
    ASSERT_EQ(m_owner.WaitFor(1).size(), 1u);
    m_receiver.Stop();
    EXPECT_FALSE(m_receiver.IsRunning());
    m_receiver.Stop(); // nothing to stop
    ASSERT_EQ(m_receiver.Start(), EIOCPE_SUCCESS);
    EXPECT_TRUE(m_receiver.IsRunning());
    ASSERT_TRUE(ToGroup(m_server, "two"));
    EXPECT_EQ(m_owner.WaitFor(2), (Events{"data one", "data two"}));
}

} // namespace
