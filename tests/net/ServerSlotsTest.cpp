// Connection slots through a real server: reuse, graceful and immediate closes, client ids,
// the targets of the sends, maintenance and the send backlog.

#include "ServerFixture.h"

#include "net/server/IOCPClientId.h"
#include "support/Ipv4.h"

#include <chrono>
#include <string>

namespace {

using ServerSlotsTest = ServerFixture;
using Clock = std::chrono::steady_clock;

/// A client whose receive window stays tiny, so that the server's sends to it park.
CStandInClient SlowReader(uint16_t port)
{
    CStandInClient client(port);
    int small = 4096;
    SystemSetOption(client.Socket().Fd(), SOL_SOCKET, SO_RCVBUF, small);
    return client;
}

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

TEST_F(ServerSlotsTest, OneSlotTakesConnectionAfterConnectionWithAGrowingNumber)
{
    StartServer(1);
    uint32_t last = 0;
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        CStandInClient client(m_nPort);
        const uint64_t id = Admit(client);
        EXPECT_EQ(SlotIndexOf(id), 1u);
        EXPECT_GT(ConnectionNumberOf(id), last);
        last = ConnectionNumberOf(id);
        client.Socket().Close();
        ASSERT_TRUE(WaitForClosed(id));
    }
}

TEST_F(ServerSlotsTest, GracefulDisconnectDeliversTheBacklogBeforeTheEnd)
{
    StartServer();
    for (bool all : {false, true}) {
        SCOPED_TRACE(all ? "DisconnectAll" : "DisconnectClient");
        CStandInClient client(m_nPort);
        const uint64_t id = Admit(client);
        std::vector<std::string> sent;
        for (char c = 'a'; c < 'g'; ++c) {
            sent.emplace_back(50000, c);
            ASSERT_EQ(m_server->SendToClient(id, sent.back().data(), 50000), EIOCPE_SUCCESS);
        }
        EXPECT_EQ(all ? m_server->DisconnectAll(false) : m_server->DisconnectClient(id, false), EIOCPE_SUCCESS);
        EXPECT_EQ(m_server->SendToClient(id, "late", 4), EIOCPE_NOT_CONNECTED);
        for (const std::string& expected : sent) {
            const std::optional<CSessionFrame> frame = client.ReadFrame();
            ASSERT_TRUE(frame);
            EXPECT_TRUE(frame->PayloadText() == expected);
        }
        EXPECT_TRUE(client.ExpectEndOfStream());
        client.Socket().Close();
        EXPECT_TRUE(WaitForClosed(id));
    }
}

// The client reads the end of the stream but keeps its socket open.
TEST_F(ServerSlotsTest, AGracefulCloseThatTheClientIgnoresIsForcedByTheCallerOrByMaintenance)
{
    for (const bool byCaller : {true, false}) {
        SCOPED_TRACE(byCaller ? "by the caller" : "by maintenance");
        CIOCPServerTimings timings;
        timings.nMaintenancePeriodMs = 100;
        if (!byCaller)
            timings.nCloseLimitMs = 1000;
        StopServer();
        StartServer(1, timings);
        CStandInClient client(m_nPort);
        const uint64_t id = Admit(client);
        const Clock::time_point start = Clock::now();
        ASSERT_EQ(m_server->DisconnectClient(id, false), EIOCPE_SUCCESS);
        EXPECT_TRUE(client.ExpectEndOfStream());
        if (byCaller) {
            EXPECT_EQ(m_server->DisconnectClient(id, true), EIOCPE_SUCCESS);
        }
        EXPECT_TRUE(WaitForClosed(id));
        if (!byCaller) {
            EXPECT_GE(MsSince(start), 1000);
        }
    }
}

TEST_F(ServerSlotsTest, ImmediateCloseWithAReadPendingFreesTheSlotForTheNextClient)
{
    StartServer(1);
    CStandInClient client(m_nPort);
    const uint64_t id = Admit(client);
    EXPECT_EQ(m_server->DisconnectClient(id, true), EIOCPE_SUCCESS);
    EXPECT_TRUE(client.ExpectEndOfStream());
    EXPECT_TRUE(WaitForClosed(id));
    CStandInClient next(m_nPort);
    EXPECT_EQ(SlotIndexOf(Admit(next)), 1u);
}

TEST_F(ServerSlotsTest, StaleAndOutOfRangeIdsFindNothing)
{
    StartServer(2);
    CStandInClient client(m_nPort);
    const uint64_t id = Admit(client);
    EXPECT_EQ(m_server->SendToClient(id, "", 0), EIOCPE_FAIL);
    EXPECT_EQ(m_server->SendToClient(id, "x", 1), EIOCPE_SUCCESS);
    const struct {
        uint64_t id;
        bool logged;
    } cases[] = {
        {MakeClientId(0, ConnectionNumberOf(id)), true},
        {MakeClientId(3, ConnectionNumberOf(id)), true},
        {MakeClientId(SlotIndexOf(id), ConnectionNumberOf(id) + 1), false},
        {0, false},
    };
    const std::string invalid = "IOCP : ERR : CIOCPServer_win::SendToClient() - Invalid client slot!";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const size_t before = CountOf(m_log.Peek(), invalid);
        EXPECT_EQ(m_server->SendToClient(c.id, "x", 1), EIOCPE_NOT_CONNECTED);
        EXPECT_EQ(m_server->DisconnectClient(c.id, true), EIOCPE_NOT_CONNECTED);
        EXPECT_EQ(m_server->GetClientAddress(c.id), 0u);
        EXPECT_EQ(m_server->GetClientHardwareAddress(c.id), 0u);
        EXPECT_EQ(m_server->GetClientType(c.id), 0u);
        EXPECT_FALSE(m_server->IsClientLocal(c.id));
        EXPECT_EQ(CountOf(m_log.Peek(), invalid) - before, c.logged ? 6u : 0u);
    }
    const std::optional<CSessionFrame> frame = client.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->PayloadText(), "x");
    EXPECT_EQ(m_server->GetClientAddress(id), Ipv4(127, 0, 0, 1));
}

TEST_F(ServerSlotsTest, OnlyAdmittedClientsAreTargetedAndReportedClosed)
{
    StartServer();
    CStandInClient admitted(m_nPort);
    CSessionInitRequest request = CSessionInitRequest::ForThisProtocol();
    request.nHardwareAddress = 0x42;
    const uint64_t id = Admit(admitted, request);
    CStandInClient pending(m_nPort);
    ASSERT_TRUE(pending.SendBytes({0xAA, 0x55, 0x82}));
    m_server->AddClientToGroups(id, {5});
    m_server->AddClientToGroups(MakeClientId(9, 9), {5}); // an id the server never gave out
    EXPECT_EQ(m_server->SendToGroup(5, "group", 5), EIOCPE_SUCCESS);
    EXPECT_EQ(m_server->SendToAll("all", 3), EIOCPE_SUCCESS);
    for (const char* expected : {"group", "all"}) {
        const std::optional<CSessionFrame> frame = admitted.ReadFrame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->PayloadText(), expected);
    }
    EXPECT_FALSE(pending.ReadFrame(300));

    CClientHardwareMap clients;
    m_server->GetClients(0, clients);
    EXPECT_EQ(clients.count(id), 1u);
    EXPECT_EQ(clients[id], 0x42u);
    EXPECT_EQ(m_server->FindClientByHardwareAddress(0x42), id);
    EXPECT_NE(m_server->FindClientByAddress(Ipv4(127, 0, 0, 1)), 0u);
    EXPECT_EQ(m_server->FindClientByAddress(Ipv4(127, 0, 0, 2)), 0u);
    pending.Socket().Close();
    admitted.Socket().Close();
    EXPECT_TRUE(WaitForClosed(id));
    EXPECT_EQ(m_server->GetGroupSize(5), 1u) << "the closed client leaves its groups";
    EXPECT_EQ(m_handler.Snapshot().closed.size(), 1u);
}

TEST_F(ServerSlotsTest, MaintenanceClosesSilentAndNeverAdmittedPeers)
{
    CIOCPServerTimings timings;
    timings.nMaintenancePeriodMs = 100;
    timings.nAcceptLimitMs = 1000;
    timings.nAdmitLimitMs = 1000;
    StartServer(2, timings);
    const Clock::time_point start = Clock::now();
    CStandInClient silent(m_nPort);
    CStandInClient oneByte(m_nPort);
    ASSERT_TRUE(oneByte.SendBytes({0xAA}));
    EXPECT_TRUE(silent.ExpectEndOfStream());
    EXPECT_TRUE(oneByte.ExpectEndOfStream());
    EXPECT_GE(MsSince(start), 1000);
    EXPECT_TRUE(m_handler.Snapshot().inits.empty());
    CStandInClient next(m_nPort);
    EXPECT_NE(Admit(next), 0u);
}

TEST_F(ServerSlotsTest, BacklogBeyondItsCapIsRefusedAndSendingShutDown)
{
    StartServer(1);
    CStandInClient client(m_nPort); // reads nothing until the server refuses more
    const uint64_t id = Admit(client);
    const std::string chunk(512 * 1024, 'b');
    int queued = 0;
    uint32_t result = EIOCPE_SUCCESS;
    while (queued < 128 && (result = m_server->SendToClient(id, chunk.data(), chunk.size())) == EIOCPE_SUCCESS)
        ++queued;
    EXPECT_EQ(result, EIOCPE_NO_MEM);
    EXPECT_GE(queued, 31); // 16 MiB and what the socket buffers took
    EXPECT_EQ(m_server->SendToClient(id, "x", 1), EIOCPE_NOT_CONNECTED);
    for (int i = 0; i < queued; ++i) {
        const std::optional<CSessionFrame> frame = client.ReadFrame();
        ASSERT_TRUE(frame) << "frame " << i;
        EXPECT_EQ(frame->PayloadSize(), chunk.size());
    }
    EXPECT_TRUE(client.ExpectEndOfStream());
}

TEST_F(ServerSlotsTest, HungSendClosesTheSlotAndIsListedInTheStatistics)
{
    CIOCPServerTimings timings;
    timings.nMaintenancePeriodMs = 100;
    timings.nSendHangLimitMs = 500;
    StartServer(1, timings);
    CStandInClient client = SlowReader(m_nPort);
    const uint64_t id = Admit(client);
    const std::string chunk(512 * 1024, 'h');
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(m_server->SendToClient(id, chunk.data(), chunk.size()), EIOCPE_SUCCESS);
    EXPECT_TRUE(WaitForLog("IOCP : ERR : CIOCPServer_win::SlotSocketMaintenance - Send hang :\r\n"));
    EXPECT_TRUE(WaitForClosed(id));
    char text[4096];
    m_server->GetStatistics(text, sizeof text);
    const std::string statistics = text;
    const size_t stuck = statistics.find("Send stuck dropped clients :\r\n");
    ASSERT_NE(stuck, std::string::npos);
    EXPECT_NE(statistics.find("state : SCC_CONNECTED, ip : 127.0.0.1, type : 0, mac : 00:00:00:00:00:00", stuck),
              std::string::npos)
        << statistics;
}
