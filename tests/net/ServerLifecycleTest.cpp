// Creating, starting and stopping a real server: parameters, stop under traffic, the forced
// close of clients that stay, a restart on the same port and a start that fails.

#include "ServerFixture.h"

#include "net/server/IOCPClientId.h"
#include "support/PlainSocket.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

namespace {

using ServerLifecycleTest = ServerFixture;
using Clock = std::chrono::steady_clock;

size_t ThreadCount()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

/// The thread count once it has come down to `expected`, or after 5 s; an ended thread leaves
/// the task list a moment after its body has returned.
size_t ThreadCountSettlingAt(size_t expected)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    size_t count = ThreadCount();
    while (count > expected && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        count = ThreadCount();
    }
    return count;
}

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

TEST_F(ServerLifecycleTest, CreationRefusesParametersOutOfRange)
{
    const struct {
        const char* name;
        int32_t port, workers, slots;
        bool handler;
    } cases[] = {
        {"port 0", 0, 2, 4, true},       {"port 70000", 70000, 2, 4, true}, {"port -1", -1, 2, 4, true},
        {"no slots", 1000, 2, 0, true},  {"-1 slots", 1000, 2, -1, true},   {"-1 workers", 1000, -1, 4, true},
        {"no handler", 1000, 2, 4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t error = 0;
        EXPECT_EQ(CreateIOCPServer(c.port, 0, c.workers, c.slots, c.handler ? &m_handler : nullptr, &error), nullptr);
        EXPECT_EQ(error, EIOCPE_BAD_PARAMS);
    }
    uint32_t error = 1;
    std::unique_ptr<IIOCP_Server> server(CreateIOCPServer(65535, 0, 0, 1, &m_handler, &error));
    EXPECT_NE(server, nullptr);
    EXPECT_EQ(error, EIOCPE_SUCCESS);
}

TEST_F(ServerLifecycleTest, AllOnesInterfaceAddressMeansAnyForTheListenerAndTheMulticastSender)
{
    StartServer(1, {}, 0xFFFFFFFF);
    CStandInClient client(m_nPort);
    EXPECT_NE(Admit(client), 0u);
    EXPECT_EQ(m_server->StartMulticast(0xFFFFFFFF, m_nPort), EIOCPE_SUCCESS);
    EXPECT_EQ(CountOf(m_log.Peek(), "Can't set home addr of multicast"), 0u);
}

TEST_F(ServerLifecycleTest, StopUnderTrafficEndsEveryConnectionAndThread)
{
    m_handler.onPacket = [this](uint64_t id, const uint8_t* payload, uint32_t length) {
        m_server->SendToClient(id, payload, length);
        return 1;
    };
    const size_t threadsBefore = ThreadCount();
    StartServer(12);
    std::vector<std::unique_ptr<CStandInClient>> clients;
    std::vector<uint64_t> ids;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(std::make_unique<CStandInClient>(m_nPort));
        ids.push_back(Admit(*clients.back()));
    }
    std::atomic<int> echoes{0};
    std::vector<std::thread> traffic;
    for (auto& client : clients)
        traffic.emplace_back([&client, &echoes] {
            // Ping until the server ends the connection, then close as a client does.
            while (client->SendUser("ping") && client->ReadFrame())
                ++echoes;
            client->Socket().Close();
        });
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (echoes.load() < 1000 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(echoes.load(), 1000);
    m_server->Stop();
    for (std::thread& t : traffic)
        t.join();
    m_server.reset();
    EXPECT_EQ(ThreadCountSettlingAt(threadsBefore), threadsBefore);
    const CHandlerRecord record = m_handler.Snapshot();
    ASSERT_EQ(record.closed.size(), ids.size());
    for (const CRecordedClose& closed : record.closed)
        EXPECT_TRUE(closed.bExiting);
}

TEST_F(ServerLifecycleTest, ClientThatStaysIsClosedByForceAboutFiveSecondsAfterTheStop)
{
    StartServer(2);
    CStandInClient client(m_nPort);
    const uint64_t id = Admit(client);
    const Clock::time_point start = Clock::now();
    m_server->Stop();
    const int64_t stopMs = MsSince(start);
    EXPECT_GE(stopMs, 4000);
    EXPECT_LE(stopMs, 15000);
    EXPECT_TRUE(WaitForLog("IOCP : ListenThread - Force shutdown : \r\n"));
    EXPECT_TRUE(client.ExpectEndOfStream());
    const CHandlerRecord record = m_handler.Snapshot();
    ASSERT_EQ(record.closed.size(), 1u);
    EXPECT_EQ(record.closed[0].nClientId, id);
    EXPECT_TRUE(record.closed[0].bExiting);
}

// The application holds a worker with the client's packet past the end of the listen thread
// (eight short exit ticks), so the slot finishes closing only while the stop waits for the
// workers.
TEST_F(ServerLifecycleTest, ASlotThatClosesAfterTheListenThreadHasEndedIsStillReported)
{
    std::promise<void> entered;
    m_handler.onPacket = [&entered](uint64_t, const uint8_t*, uint32_t) {
        entered.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return 1;
    };
    CIOCPServerTimings timings;
    timings.nExitTickMs = 50;
    StartServer(1, timings);
    CStandInClient client(m_nPort);
    const uint64_t id = Admit(client);
    ASSERT_TRUE(client.SendUser("hold"));
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    m_server->Stop();
    const CHandlerRecord record = m_handler.Snapshot();
    ASSERT_EQ(record.closed.size(), 1u);
    EXPECT_EQ(record.closed[0].nClientId, id);
    EXPECT_TRUE(record.closed[0].bExiting);
}

TEST_F(ServerLifecycleTest, RestartsOnTheSamePortRightAfterAStopThatClosedAClient)
{
    StartServer(2);
    CStandInClient client(m_nPort);
    Admit(client);
    // The server ends the connection first, so its side is left in TIME_WAIT.
    std::thread closer([&client] {
        client.ExpectEndOfStream();
        client.Socket().Close();
    });
    StopServer();
    closer.join();
    StartServer(2);
    CStandInClient next(m_nPort);
    EXPECT_NE(Admit(next), 0u);
}

TEST_F(ServerLifecycleTest, AStoppedServerStartsAgainWithItsPortAndSlots)
{
    StartServer(2);
    ASSERT_EQ(m_server->Stop(), EIOCPE_SUCCESS);
    ASSERT_EQ(m_server->Start(), EIOCPE_SUCCESS);
    CStandInClient first(m_nPort);
    CStandInClient second(m_nPort);
    EXPECT_NE(Admit(first), 0u);
    EXPECT_NE(Admit(second), 0u);
}

TEST_F(ServerLifecycleTest, FailedStartLeavesNothingRunning)
{
    CPlainSocket occupant(SystemSocket(AF_INET, SOCK_STREAM));
    const sockaddr_in at = CPlainSocket::Loopback(m_nPort);
    ASSERT_EQ(bind(occupant.Fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(occupant.Fd(), 4), 0);
    const size_t threadsBefore = ThreadCount();
    uint32_t error = 1;
    m_server.reset(CreateIOCPServer(m_nPort, platform::LoopbackIPv4Address(), 2, 4, &m_handler, &error));
    ASSERT_NE(m_server, nullptr);
    EXPECT_EQ(m_server->Start(), EIOCPE_FAIL);
    EXPECT_TRUE(WaitForLog("CIOCPServer_win::InitListenSocket() - Can't bind socket object! "));
    EXPECT_EQ(ThreadCountSettlingAt(threadsBefore), threadsBefore);
    EXPECT_EQ(m_server->DisconnectAll(true), EIOCPE_SUCCESS);
    EXPECT_EQ(m_server->SendToAll("x", 1), EIOCPE_NOT_CONNECTED);
    EXPECT_EQ(m_server->SendToClient(MakeClientId(1, 1), "x", 1), EIOCPE_NOT_CONNECTED);
    EXPECT_EQ(m_server->StartMulticast(0, m_nPort), EIOCPE_EXIT_IN_PROGRESS);
    char text[64] = "untouched";
    m_server->GetStatistics(text, sizeof text);
    EXPECT_STREQ(text, "");
    m_server->DescribeClients();
    EXPECT_EQ(m_server->Stop(), EIOCPE_SUCCESS);
}
