#include "RecordingUDPReceiver.h"

#include "net/client/UDP_Receiver.h"
#include "Subsidiary/NetErrors.h"
#include "support/HeldCallback.h"
#include "support/Ipv4.h"
#include "support/StandInMulticast.h"
#include "support/TestEndpoints.h"

#include <gtest/gtest.h>

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
    const pid_t thread = owner.WaitEntered(10s);
    ASSERT_NE(thread, 0);
    const auto start = std::chrono::steady_clock::now();
    receiver.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_FALSE(receiver.IsRunning());
    hold.unlock();
    EXPECT_TRUE(WaitUntilEnded(thread, 10s));
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
