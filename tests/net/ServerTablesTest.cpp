// Client groups and the statistics text, through the server's interface where it is cheap.

#include "ServerFixture.h"

#include "net/server/IOCPSendStuckList.h"
#include "net/server/IOCPStatisticsText.h"

#include <string>

namespace {

using ServerTablesTest = ServerFixture;

CIOCPClientStats Record(uint32_t inAllocated, uint32_t outAllocated, uint64_t mac = 0)
{
    CIOCPClientStats r;
    r.strState = "SCC_CONNECTED";
    r.strPeerAddress = "10.1.2.3";
    r.nClientType = 4;
    r.nHardwareAddress = mac;
    r.nReceiveAllocated = inAllocated;
    r.nReceiveUsed = inAllocated / 2;
    r.nSendAllocated = outAllocated;
    r.nSendUsed = outAllocated / 4;
    r.nBytesSent = 123456789012ULL;
    r.nBytesReceived = 42;
    return r;
}

std::string Section(const std::string& text, const std::string& title)
{
    const size_t start = text.find(title);
    const size_t end = text.find("\r\n\r\n" + std::string("Send stuck"), start + 1);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

} // namespace

// The program creates its server with these; every maintenance test shortens them.
TEST(ServerTimingsTest, TheDefaultsAreThePeriodAndLimitsTheProgramRunsWith)
{
    const CIOCPServerTimings timings;
    const struct {
        const char* name;
        uint32_t value, expected;
    } cases[] = {
        {"maintenance period", timings.nMaintenancePeriodMs, 50000},
        {"connected without first bytes", timings.nAcceptLimitMs, 50000},
        {"connected, not admitted", timings.nAdmitLimitMs, 50000},
        {"one send in flight", timings.nSendHangLimitMs, 3600000},
        {"still connected after a graceful close", timings.nCloseLimitMs, 50000},
        {"stop tick", timings.nExitTickMs, 1000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value, c.expected) << c.name;
}

TEST_F(ServerTablesTest, GroupMembershipsAreCounted)
{
    uint32_t error = 1;
    m_server.reset(CreateIOCPServer(m_nPort, 0, 1, 1, &m_handler, &error));
    ASSERT_NE(m_server, nullptr);
    IIOCP_Server& s = *m_server;
    const struct {
        const char* step;
        uint32_t (*change)(IIOCP_Server&);
        uint32_t size5, size6;
    } steps[] = {
        {"add 1 to 5 and 6", [](IIOCP_Server& s) { return s.AddClientToGroups(1, {5, 6}); }, 1, 1},
        {"add 1 to 5 again", [](IIOCP_Server& s) { return s.AddClientToGroups(1, {5}); }, 1, 1},
        {"add 2 to 6", [](IIOCP_Server& s) { return s.AddClientToGroups(2, {6}); }, 1, 2},
        {"remove 1 from 5 once", [](IIOCP_Server& s) { return s.RemoveClientFromGroups(1, {5}); }, 1, 2},
        {"remove 1 from 5 again", [](IIOCP_Server& s) { return s.RemoveClientFromGroups(1, {5, 7}); }, 0, 2},
        {"add 1 to 5 twice more", [](IIOCP_Server& s) { return s.AddClientToGroups(1, {5}) & s.AddClientToGroups(1, {5}); }, 1, 2},
        {"remove 1 from all", [](IIOCP_Server& s) { return s.RemoveClientFromAllGroups(1); }, 0, 1},
        {"remove 2 from all", [](IIOCP_Server& s) { return s.RemoveClientFromAllGroups(2); }, 0, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        EXPECT_EQ(step.change(s), 1u);
        EXPECT_EQ(s.GetGroupSize(5), step.size5);
        EXPECT_EQ(s.GetGroupSize(6), step.size6);
    }
}

TEST_F(ServerTablesTest, StatisticsTextListsTotalsTheTopFiveAndTheStuckSlots)
{
    const std::string one = FormatStatisticsText({Record(500000, 600000, 0x0123456789ABULL)}, {});
    EXPECT_EQ(one, "Total In allocated : 500000\r\nTotal Out allocated : 600000\r\n"
                   "Total In used : 250000\r\nTotal Out used : 150000\r\n"
                   "\r\nTop mem used clients :\r\n"
                   "state : SCC_CONNECTED, ip : 10.1.2.3, type : 4, mac : 01:23:45:67:89:AB, bs : 123456789012, br : 42\r\n"
                   "\tBuffers : InA : 500000, InU : 250000, OutA : 600000, OutU : 150000\r\n\r\n"
                   "\r\nSend stuck dropped clients :\r\n<none>\r\n");

    for (const auto& [slots, listed] : {std::pair{3u, 3u}, std::pair{6u, 5u}}) {
        SCOPED_TRACE(slots);
        std::vector<CIOCPClientStats> records;
        for (uint32_t i = 0; i < slots; ++i)
            records.push_back(Record(1000 * i, 7));
        const std::string top = Section(FormatStatisticsText(records, {}), "Top mem used clients");
        EXPECT_EQ(CountOf(top, "state : "), listed);
        // Largest first: the last slot's 1000 * (slots - 1) heads the list.
        EXPECT_NE(top.find("InA : " + std::to_string(1000 * (slots - 1)) + ","), std::string::npos);
        EXPECT_LT(top.find("InA : " + std::to_string(1000 * (slots - 1)) + ","), top.find("InA : " + std::to_string(1000 * (slots - 2)) + ","));
    }

    CIOCPSendStuckList stuck;
    for (uint32_t i = 1; i <= 9; ++i)
        stuck.Add(Record(i, 0));
    const std::vector<CIOCPClientStats> kept = stuck.GetRecords();
    ASSERT_EQ(kept.size(), CIOCPSendStuckList::kMaxRecords);
    EXPECT_EQ(kept.front().nReceiveAllocated, 2u) << "the oldest goes first";
    EXPECT_EQ(kept.back().nReceiveAllocated, 9u);
    const std::string text = FormatStatisticsText({}, kept);
    EXPECT_EQ(CountOf(text.substr(text.find("Send stuck")), "state : "), 8u);
}

TEST_F(ServerTablesTest, ServerStatisticsCoverEverySlotAndAreCutToTheBuffer)
{
    StartServer(3);
    char text[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do // the first maintenance pass posts the accepts right after the start
        m_server->GetStatistics(text, sizeof text);
    while (CountOf(text, "state : SCC_ACCEPTING") < 3 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(CountOf(text, "state : SCC_ACCEPTING"), 3u) << text;
    char small[16];
    m_server->GetStatistics(small, sizeof small);
    EXPECT_STREQ(small, "Total In alloca");
}
