// The QV_Client program as an operator runs it, against a stand-in for the server: the TCP
// session of CStandInServer serving a one-object snapshot, and heartbeats to the group.

#include "net/common/QVNET_SeqPkt.h"
#include "support/ClientProgram.h"
#include "support/ProgramRun.h"
#include "support/RecordBodyBuilder.h"
#include "support/StandInMulticast.h"
#include "support/StandInServer.h"
#include "support/TestEndpoints.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 20s;
constexpr uint64_t kSnapshotSeq = 40; // the stream position the stand-in's snapshot is labelled with
const std::string kHelp = "Key 's' Save object to a file\nKey '?' this help\nKey 'q' to exit...\n";
const std::string kConnectFailed = "CQV_Client::OnConnectFailed : ERR : ";
const std::string kSynced = "OnSyncComplete : Sync complete - objs : 1!";

std::string AsText(const uint8_t* bytes, size_t size)
{
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

template <typename Packet>
std::string Packet13(uint64_t seq)
{
    const auto bytes = Packet::Build(seq);
    return AsText(bytes.data(), bytes.size());
}

// The server's side of one client program: sessions that serve a snapshot of obj_1 (type Bean,
// Kale = Okra), and heartbeats every 250 ms so that a synchronised client sees a live stream.
class CStandInQVServer {
public:
    explicit CStandInQVServer(const CTestEndpoint& endpoint) : m_Tcp(endpoint.nPort)
    {
        m_Heartbeats = std::thread([this, endpoint] {
            CStandInMulticast sender;
            const std::string heartbeat = Packet13<QVNET_HeartbeatPkt>(kSnapshotSeq);
            while (!m_bStop) {
                sender.SendTo(endpoint.nGroup, endpoint.nPort, heartbeat);
                std::this_thread::sleep_for(250ms);
            }
        });
    }
    ~CStandInQVServer()
    {
        m_bStop = true;
        m_Heartbeats.join();
    }

    CStandInServer& Tcp() { return m_Tcp; }

    /// Takes the client's next connection, admits it and serves the snapshot to its end.
    ::testing::AssertionResult ServeSession(int acceptMs = CStandInServer::kWaitMs)
    {
        if (!m_Tcp.Accept(acceptMs))
            return ::testing::AssertionFailure() << "the client did not connect";
        if (!m_Tcp.AnswerInit(0))
            return ::testing::AssertionFailure() << "no INIT request";
        if (m_Tcp.ReadFrame() != CStandInServer::Frame(8, Packet13<QVNET_SyncRequestPkt>(0)))
            return ::testing::AssertionFailure() << "no sync request";
        if (!m_Tcp.SendRaw(CStandInServer::Frame(8, SnapshotPacket())))
            return ::testing::AssertionFailure() << "the snapshot could not be sent";
        if (m_Tcp.ReadFrame() != CStandInServer::Frame(8, Packet13<QVNET_NextSyncPkt>(0)))
            return ::testing::AssertionFailure() << "no request for the next snapshot packet";
        if (!m_Tcp.SendRaw(CStandInServer::Frame(8, Packet13<QVNET_SyncCompletePkt>(kSnapshotSeq))))
            return ::testing::AssertionFailure() << "the completion could not be sent";
        return ::testing::AssertionSuccess();
    }

private:
    static std::string SnapshotPacket()
    {
        CRecordBodyBuilder body;
        body.TypeDef(1, "Bean").PropDef(7, "Kale").Create(1, 1, 1, "obj_1").Entry(7, "Okra");
        std::string packet = Packet13<QVNET_StreamHeader>(kSnapshotSeq) + AsText(body.Data(), body.Size());
        QVNET_PktHeader::Write(reinterpret_cast<uint8_t*>(packet.data()), QVNET_ID_STREAM,
                               static_cast<uint32_t>(packet.size()));
        return packet;
    }

    CStandInServer m_Tcp;
    std::atomic<bool> m_bStop{false};
    std::thread m_Heartbeats;
};

// 'q', then the last key: the program ends with 0 having said so.
void Quit(CProgramRun& run)
{
    run.Keys("q");
    ASSERT_TRUE(run.WaitFor("Server stopped.\n", kLimit)) << run.Output();
    ASSERT_TRUE(run.WaitFor("Any key to exit.\n", kLimit)) << run.Output();
    EXPECT_FALSE(run.Exited());
    run.Keys("z");
    ASSERT_TRUE(run.WaitForExit(kLimit));
    EXPECT_EQ(run.ExitCode(), 0) << run.Output();
}

} // namespace

TEST(QV_ClientProgramTest, WithoutAServerItTriesEverySecondServesItsKeysAndSyncsOnceOneListens)
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CProgramRun run(QV_CLIENT_PATH, ClientSettingsText(endpoint));
    ASSERT_TRUE(run.WaitFor("Server initialized!\n" + kHelp, kLimit)) << run.Output();
    ASSERT_TRUE(run.WaitFor(kConnectFailed, kLimit)) << run.Output();
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.WaitFor(kConnectFailed, kLimit, 3)) << run.Output();
    const auto third = std::chrono::steady_clock::now() - first;
    EXPECT_GE(third, 1500ms) << "two intervals of about a second";
    EXPECT_LE(third, 10s);

    run.Keys("Sx?s"); // the first two are no keys of the client's
    ASSERT_TRUE(run.WaitFor("Objects [0] saved to file : ", kLimit)) << run.Output();
    EXPECT_EQ(CountOf(run.Output(), kHelp), 2u);
    EXPECT_EQ(LastExport(run.Output()), "");

    CStandInQVServer server(endpoint);
    ASSERT_TRUE(server.Tcp().Listening());
    ASSERT_TRUE(server.ServeSession());
    ASSERT_TRUE(run.WaitFor(kSynced, kLimit)) << run.Output();
    run.Keys("s");
    ASSERT_TRUE(run.WaitFor("Objects [1] saved to file : ", kLimit)) << run.Output();
    EXPECT_EQ(LastExport(run.Output()), "[obj_1] - [Bean]\n\tKale = Okra\n\n");
    Quit(run);
}

// The slow one: after a restart the client waits 10 s before it connects again.
TEST(QV_ClientProgramTest, ADroppedSessionIsResumedAfterASecondAndARestartAfterTen)
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CStandInQVServer server(endpoint);
    ASSERT_TRUE(server.Tcp().Listening());
    CProgramRun run(QV_CLIENT_PATH, ClientSettingsText(endpoint));
    ASSERT_TRUE(server.ServeSession());
    ASSERT_TRUE(run.WaitFor(kSynced, kLimit)) << run.Output();

    server.Tcp().Close();
    auto ended = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.ServeSession());
    const auto resumed = std::chrono::steady_clock::now() - ended;
    EXPECT_GE(resumed, 800ms);
    EXPECT_LE(resumed, 10s);
    ASSERT_TRUE(run.WaitFor(kSynced, kLimit, 2)) << run.Output();
    EXPECT_EQ(CountOf(run.Output(), "CQV_Client::OnDisconnected : TCP Disconnected!"), 1u);

    // A packet the client cannot take makes it restart: it ends its side, the server closes.
    ASSERT_TRUE(server.Tcp().SendRaw(CStandInServer::Frame(8, std::string("\x09\x0D\0\0\0", 5) + std::string(8, '\0'))));
    ASSERT_TRUE(run.WaitFor("CQV_Client::OnReceivePkt : ERR : Server send unknown packet type!", kLimit)) << run.Output();
    ASSERT_TRUE(server.Tcp().WaitForEnd());
    server.Tcp().Close();
    ended = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.ServeSession(30000));
    const auto restarted = std::chrono::steady_clock::now() - ended;
    EXPECT_GE(restarted, 9s);
    EXPECT_LE(restarted, 20s);
    ASSERT_TRUE(run.WaitFor(kSynced, kLimit, 3)) << run.Output();
    Quit(run);
}

// A signal stands for 'q' and for the last key; an input that has ended keeps the client up.
TEST(QV_ClientProgramTest, TerminationSignalsEndItWith0AsQDoes)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT after the end of input");
        CProgramRun run(QV_CLIENT_PATH, ClientSettingsText(NextTestEndpoint()));
        ASSERT_TRUE(run.WaitFor(kConnectFailed, kLimit)) << run.Output();
        if (signal == SIGINT) {
            run.CloseInput();
            std::this_thread::sleep_for(300ms);
            EXPECT_FALSE(run.Exited()) << "the end of input is no key";
        }
        run.Signal(signal);
        ASSERT_TRUE(run.WaitForExit(kLimit)) << run.Output();
        EXPECT_EQ(run.ExitCode(), 0) << run.Output();
        EXPECT_NE(run.Output().find("Server stopped.\n"), std::string::npos) << run.Output();
        EXPECT_NE(run.Output().find("Any key to exit.\n"), std::string::npos) << run.Output();
    }
}

TEST(QV_ClientProgramTest, BadSettingsEndItWith1)
{
    struct Case {
        const char* name;
        bool withFile;
        std::string settings;
        std::string said;
        bool waitsForAKey; ///< a failed start after the settings were read
    };
    const Case cases[] = {
        {"no file", false, "", "Unable to open settings file : ", false},
        {"bad group", true, "[SERVER]\nMulticastAddr=group\n", "Invalid 'MulticastAddr' in section 'SERVER'!", false},
        {"port 0", true, "[SERVER]\nServerPort=0\nMulticastAddr=239.1.2.3\nServerAddr=127.0.0.1\n",
         "CQV_Client::Init : ERR : ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProgramRun run(QV_CLIENT_PATH, c.settings, c.withFile);
        ASSERT_TRUE(run.WaitFor(c.said, kLimit)) << run.Output();
        if (c.waitsForAKey) {
            std::this_thread::sleep_for(300ms);
            EXPECT_FALSE(run.Exited()) << "one key is awaited";
            run.Keys("z");
        }
        ASSERT_TRUE(run.WaitForExit(kLimit)) << run.Output();
        EXPECT_EQ(run.ExitCode(), 1) << run.Output();
        EXPECT_EQ(run.Output().find("Server initialized!"), std::string::npos) << run.Output();
    }
}
