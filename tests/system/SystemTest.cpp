// The whole system: QV_Server and QV_Clients as separate programs on the loopback, each beside
// its own settings. Losses are injected inside the test namespace by an nftables rule that
// drops a share of the datagrams to this test's group as they arrive, and an outage by one
// that refuses the server's sends to the group.

#include "support/ClientProgram.h"
#include "support/ProgramRun.h"
#include "support/ServerProgram.h"
#include "support/TestEndpoints.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 60s; // 80,000 objects through a loaded 2-core machine
const std::string kSyncedEmpty = "OnSyncComplete : Sync complete - objs : 0!";

// Drops `percent` of the datagrams to the group as they arrive (or, on the output hook, as they
// are sent, which makes the sender's send fail), from construction to destruction; rules of
// other tests, on other groups, are left alone.
class CMulticastLoss {
public:
    CMulticastLoss(const CTestEndpoint& endpoint, int percent, const std::string& hook = "prerouting")
        : m_strTable("qv_loss_" + std::to_string(getpid()) + "_" + std::to_string(endpoint.nPort))
    {
        m_bInForce = Nft("add table ip " + m_strTable) &&
                     Nft("add chain ip " + m_strTable + " " + hook + " '{ type filter hook " + hook +
                         " priority -300; }'") &&
                     Nft("add rule ip " + m_strTable + " " + hook + " ip daddr " + endpoint.strGroup +
                         (percent < 100 ? " numgen random mod 100 '<' " + std::to_string(percent) : "") + " drop");
    }
    ~CMulticastLoss() { End(); }

    bool InForce() const { return m_bInForce; }
    void End()
    {
        if (!m_strTable.empty())
            Nft("delete table ip " + m_strTable);
        m_strTable.clear();
    }

private:
    static bool Nft(const std::string& command) { return std::system(("nft " + command + " 2>&1").c_str()) == 0; }

    std::string m_strTable;
    bool m_bInForce = false;
};

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override { m_Endpoint = NextTestEndpoint(); }

    std::unique_ptr<CProgramRun> StartServer()
    {
        return std::make_unique<CProgramRun>(QV_SERVER_PATH, ServerSettingsText(m_Endpoint));
    }
    CProgramRun& StartClient()
    {
        m_vecClients.push_back(std::make_unique<CProgramRun>(QV_CLIENT_PATH, ClientSettingsText(m_Endpoint)));
        return *m_vecClients.back();
    }
    /// Each client's export after 's', with the object count it must name.
    std::vector<std::string> SaveEach(uint64_t objects)
    {
        std::vector<std::string> exports;
        for (const auto& client : m_vecClients) {
            client->Keys("s");
            EXPECT_TRUE(client->WaitFor("Objects [" + std::to_string(objects) + "] saved to file : ", kLimit))
                << client->Output();
            exports.push_back(LastExport(client->Output()));
        }
        return exports;
    }
    /// 'q' and the last key to each program; each must end with 0.
    void QuitAll(CProgramRun& server)
    {
        for (const auto& client : m_vecClients)
            Quit(*client);
        Quit(server);
    }
    static void Quit(CProgramRun& run)
    {
        run.Keys("q");
        EXPECT_TRUE(run.WaitFor("Any key to exit.\n", kLimit)) << run.Output();
        run.Keys("z");
        ASSERT_TRUE(run.WaitForExit(kLimit)) << run.Output();
        EXPECT_EQ(run.ExitCode(), 0) << run.Output();
    }

    CTestEndpoint m_Endpoint;
    std::vector<std::unique_ptr<CProgramRun>> m_vecClients;
};

// Two clients follow the feed from an empty store; a third takes the snapshot afterwards. With
// losses the first two repair their gaps through retransmissions and must still agree.
TEST_F(SystemTest, ClientsThatFollowedTheFeedHoldWhatALateClientIsGiven)
{
    for (const int loss : {0, 10}) {
        SCOPED_TRACE("loss " + std::to_string(loss) + " %");
        m_Endpoint = NextTestEndpoint();
        m_vecClients.clear();
        const auto server = StartServer();
        ASSERT_TRUE(server->WaitFor("Network server started!", kLimit)) << server->Output();
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(StartClient().WaitFor(kSyncedEmpty, kLimit)) << m_vecClients.back()->Output();

        CMulticastLoss dropping(m_Endpoint, loss);
        if (loss > 0) {
            ASSERT_TRUE(dropping.InForce()) << "nft could not add the rule";
        }
        ASSERT_TRUE(StartFeedAndPopulate(*server, kLimit));
        std::this_thread::sleep_for(3s); // about 25 bursts of changes
        server->Keys("0");
        ASSERT_TRUE(server->WaitFor("Feed 0 completed [Obj cnt:80000]", kLimit)) << server->Output();
        for (const auto& client : m_vecClients)
            ASSERT_TRUE(client->WaitFor("Feed 0 completed, objects : 80000, changes : ", kLimit)) << client->Output();
        dropping.End();
        if (loss > 0) {
            EXPECT_NE(server->Output().find(";X"), std::string::npos) << "no packet was multicast again";
        }

        ASSERT_TRUE(StartClient().WaitFor("Sync complete - objs : 80000!", kLimit)) << m_vecClients.back()->Output();
        const std::vector<std::string> exports = SaveEach(80000);
        ASSERT_EQ(exports.size(), 3u);
        EXPECT_GT(exports[0].size(), 80000u * 20);
        EXPECT_TRUE(exports[0] == exports[1]) << "the two clients that followed the feed differ";
        EXPECT_TRUE(exports[0] == exports[2]) << "the late client differs from the others";
        QuitAll(*server);
    }
}

// While the server cannot multicast, the feed goes on changing the store; once it can again and
// the feed has stopped, the stream is idle. A client synchronised then must stay synchronised on
// the heartbeats, whatever the outage did to the stream's numbering.
TEST_F(SystemTest, ClientsSynchronisedAfterAMulticastOutageStaySo)
{
    const auto server = StartServer();
    ASSERT_TRUE(server->WaitFor("Network server started!", kLimit)) << server->Output();
    CProgramRun& during = StartClient();
    ASSERT_TRUE(during.WaitFor(kSyncedEmpty, kLimit)) << during.Output();
    ASSERT_TRUE(StartFeedAndPopulate(*server, kLimit));
    {
        CMulticastLoss outage(m_Endpoint, 100, "output");
        ASSERT_TRUE(outage.InForce()) << "nft could not add the rule";
        std::this_thread::sleep_for(1s); // the outage: about ten bursts of changes go nowhere
    }
    server->Keys("0");
    ASSERT_TRUE(server->WaitFor("Feed 0 completed [Obj cnt:80000]", kLimit)) << server->Output();

    // The client of the outage ends it repaired or resynchronised; a new one joins the idle stream.
    const auto settled = [&] {
        const std::string output = during.Output();
        const size_t resynced = output.rfind("Sync complete - objs : 80000!");
        const size_t lost = output.rfind("TCP Disconnected!");
        return output.find("Feed 0 completed, objects : 80000") != std::string::npos ||
               (resynced != std::string::npos && (lost == std::string::npos || resynced > lost));
    };
    for (const auto deadline = std::chrono::steady_clock::now() + kLimit; !settled();) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << during.Output();
        std::this_thread::sleep_for(50ms);
    }
    CProgramRun& after = StartClient();
    ASSERT_TRUE(after.WaitFor("Sync complete - objs : 80000!", kLimit)) << after.Output();

    // Every restart, whatever its reason, ends the session.
    const auto disconnects = [](CProgramRun& client) {
        const std::string output = client.Output();
        size_t count = 0;
        for (size_t at = output.find("TCP Disconnected!"); at != std::string::npos;
             at = output.find("TCP Disconnected!", at + 1))
            ++count;
        return count;
    };
    const size_t before = disconnects(during);
    EXPECT_FALSE(after.WaitFor("TCP Disconnected!", 20s)) << after.Output();
    EXPECT_EQ(disconnects(during), before) << during.Output();
    QuitAll(*server);
}

TEST_F(SystemTest, AServerRestartMakesBothClientsResync)
{
    auto server = StartServer();
    ASSERT_TRUE(server->WaitFor("Network server started!", kLimit)) << server->Output();
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(StartClient().WaitFor(kSyncedEmpty, kLimit)) << m_vecClients.back()->Output();
    Quit(*server);
    for (const auto& client : m_vecClients)
        ASSERT_TRUE(client->WaitFor("TCP Disconnected!", kLimit)) << client->Output();

    server = StartServer();
    ASSERT_TRUE(server->WaitFor("Network server started!", kLimit)) << server->Output();
    const auto restarted = std::chrono::steady_clock::now();
    for (const auto& client : m_vecClients)
        ASSERT_TRUE(client->WaitFor(kSyncedEmpty, 15s, 2)) << client->Output();
    EXPECT_LE(std::chrono::steady_clock::now() - restarted, 15s);
    QuitAll(*server);
}

} // namespace
