// The whole system: QV_Server and QV_Clients as separate programs on the loopback, each beside
// its own settings. Losses are injected inside the test namespace by an nftables rule that
// drops a share of the datagrams to this test's group as they arrive.

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

// Drops `percent` of the datagrams to the group as they arrive, from construction to
// destruction; rules of other tests, on other groups, are left alone.
class CMulticastLoss {
public:
    CMulticastLoss(const CTestEndpoint& endpoint, int percent)
        : m_strTable("qv_loss_" + std::to_string(getpid()) + "_" + std::to_string(endpoint.nPort))
    {
        m_bInForce = Nft("add table ip " + m_strTable) &&
                     Nft("add chain ip " + m_strTable + " prerouting '{ type filter hook prerouting priority -300; }'") &&
                     Nft("add rule ip " + m_strTable + " prerouting ip daddr " + endpoint.strGroup +
                         " numgen random mod 100 '<' " + std::to_string(percent) + " drop");
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
