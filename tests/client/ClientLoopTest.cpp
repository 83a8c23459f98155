// The client core's event loop on its own thread: the callbacks signal, the loop acts.

#include "ClientHarness.h"

#include "Subsidiary/NetErrors.h"
#include "support/OutputWait.h"
#include "support/TestEndpoints.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 10s;

bool WaitUntil(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class ClientLoopTest : public ClientHarness {
protected:
    void SetUp() override
    {
        const CTestEndpoint endpoint = NextTestEndpoint();
        m_nPort = endpoint.nPort;
        InitClient(endpoint.nPort, endpoint.strGroup);
    }

    uint16_t m_nPort = 0;
};

TEST_F(ClientLoopTest, TheLoopConnectsAppliesRequestsWatchesAndStops)
{
    ASSERT_EQ(m_Client.Start(), 0);
    EXPECT_TRUE(Logged("CQV_Client Main thread : started"));
    const std::string target = "127.0.0.1:" + std::to_string(m_nPort) + "/0";
    EXPECT_EQ(m_pConnection->Connects(), std::vector<std::string>{target});

    m_Client.OnConnectFailed(EIOCPE_WSAECONNREFUSED, 0);
    EXPECT_TRUE(Logged(std::string("CQV_Client::OnConnectFailed : ERR : ") + GetErrorText(EIOCPE_WSAECONNREFUSED)));
    EXPECT_TRUE(WaitUntil([&] { return m_pConnection->Connects().size() == 2; }));

    BeginSnapshot(10);
    Tcp(SeqPacket(QVNET_ID_SYNC_COMPLETE, 10));
    Udp(StreamPacket(10));
    Udp(StreamPacket(11));
    EXPECT_TRUE(WaitUntil([&] { return m_Client.GetStreamCounters().nLastApplied == 11; }));
    EXPECT_EQ(m_Client.GetRepository().GetObjectCount(), 3u);

    Udp(StreamPacket(15)); // 12 missing: asked for at once, then again by the periodic timer
    EXPECT_TRUE(WaitUntil([&] { return m_pConnection->Requests().size() == 1; }));
    m_nNow += 300;
    EXPECT_TRUE(WaitUntil([&] { return m_pConnection->Requests().size() == 2; }));
    EXPECT_EQ(m_pConnection->Requests().back(), std::vector<uint64_t>{12});

    m_nNow += 6000;
    EXPECT_TRUE(WaitForOutput(m_Capture, "Restarting connections 3!", 1, kLimit));
    EXPECT_TRUE(WaitUntil([&] { return m_Client.GetState() == CS_NOT_CONNECTED; }));
    ASSERT_EQ(m_pConnection->Disconnects().size(), 1u);
    EXPECT_TRUE(m_pConnection->Disconnects()[0].bNotify);

    EXPECT_TRUE(m_Client.Stop());
    EXPECT_TRUE(Logged("Main thread : exited"));
    ASSERT_EQ(m_pConnection->Disconnects().size(), 2u);
    EXPECT_FALSE(m_pConnection->Disconnects()[1].bNotify);
    EXPECT_TRUE(m_pConnection->Disconnects()[1].bImmediate);
}

} // namespace
