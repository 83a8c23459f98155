#include "RecordingClientReceiver.h"

#include "net/client/IIOCP_ClientConnection.h"
#include "net/common/SessionProtocol.h"
#include "Subsidiary/NetErrors.h"
#include "support/HeldCallback.h"
#include "support/OutputWait.h"
#include "support/StandInServer.h"
#include "support/StdoutCapture.h"
#include "support/TestEndpoints.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Events = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr auto kLogWait = 10s;

std::string Failed(uint32_t code)
{
    return "failed " + std::to_string(code);
}

std::string Disconnected(uint32_t code)
{
    return "disconnected " + std::to_string(code);
}

class ClientConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_nPort = NextTestEndpoint().nPort;
        m_server = std::make_unique<CStandInServer>(m_nPort);
        ASSERT_TRUE(m_server->Listening());
        uint32_t error = 1;
        m_connection = CreateClientConnection(&m_app, &error);
        ASSERT_NE(m_connection, nullptr);
        EXPECT_EQ(error, EIOCPE_SUCCESS);
    }

    void TearDown() override
    {
        Destroy();
        const std::string log = m_log.Take();
        if (HasFailure()) // the captured log holds the failure messages too
            std::fputs(log.c_str(), stdout);
    }

    void Destroy()
    {
        if (m_connection == nullptr)
            return;
        EXPECT_EQ(DestroyClientConnection(m_connection), EIOCPE_SUCCESS);
        delete m_connection;
        m_connection = nullptr;
    }

    /// Connects (the client's INIT is then on its way) and takes the connection on the server.
    void ConnectAndAccept(uint32_t reconnectSeconds = 0)
    {
        ASSERT_EQ(m_connection->Connect("127.0.0.1", m_nPort, reconnectSeconds), EIOCPE_SUCCESS);
        ASSERT_TRUE(m_server->Accept());
    }

    void Admit()
    {
        ConnectAndAccept();
        ASSERT_TRUE(m_server->AnswerInit(0));
        ASSERT_EQ(m_app.WaitFor(1), (Events{"connected"}));
        m_app.Take();
    }

    bool Logged(const std::string& line, size_t count = 1) { return WaitForOutput(m_log, line, count, kLogWait); }
    size_t LogCount(const std::string& line) const { return CountOf(m_log.Peek(), line); }

    CStdoutCapture m_log; // first, so that it outlives the connection's thread
    uint16_t m_nPort = 0;
    std::unique_ptr<CStandInServer> m_server;
    CRecordingClientReceiver m_app;
    IIOCP_ClientConnection* m_connection = nullptr;
};

TEST_F(ClientConnectionTest, TheInitRequestIsTheLayoutRightAfterConnecting)
{
    ConnectAndAccept();
    std::string expected("\xAA\x55\x82\x00\x00\x00\x06\x00\x00\x00\x01\x01\x01\x00\x00\x00\x00\x00", 18);
    expected += "3A6E91C4-7B20-4d5f-A1E8-96C2D07B4E15";
    expected.resize(130, '\0');
    EXPECT_EQ(m_server->ReadFrame(), expected);
}

TEST_F(ClientConnectionTest, InitResultsAreMappedToTheirCodes)
{
    const uint32_t codes[] = {EIOCPE_SUCCESS,
                              EIOCPE_PROTO_VERSION_ERR,
                              EIOCPE_PROTO_VERSION_ERR,
                              EIOCPE_SIGNATURE_DIFF,
                              EIOCPE_ENCRYPTION_DIFFERENT,
                              EIOCPE_UNK_CLIENT_TYPE,
                              EIOCPE_TOO_MANY_CLIENTS_ERR,
                              EIOCPE_NO_MEM_ON_SRV,
                              EIOCPE_ECONNREFUSED,
                              EIOCPE_FORBIDDEN_CLIENT,
                              EIOCPE_FAIL,
                              EIOCPE_FAIL};
    for (uint32_t result = 0; result < std::size(codes); ++result) {
        SCOPED_TRACE("result " + std::to_string(result));
        const std::string line = std::string("IIOCP_ClientConnection : ERR : Init with server failed : ") +
                                 GetErrorText(codes[result]);
        const size_t before = LogCount(line);
        ConnectAndAccept();
        ASSERT_TRUE(m_server->AnswerInit(result));
        if (result == 0) {
            EXPECT_EQ(m_app.WaitFor(1), (Events{"connected"}));
            EXPECT_TRUE(Logged("IIOCP_ClientConnection - conn thread : Received INIT ok!"));
            EXPECT_EQ(m_connection->Disconnect(true, true), EIOCPE_SUCCESS);
            EXPECT_EQ(m_app.WaitFor(2), (Events{"connected", Disconnected(0)}));
            EXPECT_TRUE(m_server->WaitForEnd()) << "the client closed";
        } else {
            m_server->Close(); // as the server does: the refusal and its close come together
            EXPECT_EQ(m_app.WaitFor(1), (Events{Failed(codes[result])}));
            EXPECT_TRUE(Logged(line, before + 1));
        }
        const size_t reported = result == 0 ? 2 : 1;
        EXPECT_EQ(m_app.WaitFor(reported + 1, 100ms).size(), reported) << "reported once";
        m_app.Take();
    }
    EXPECT_EQ(LogCount("Connection closed from server!"), 0u) << "the refusal closed the socket before its end was seen";
}

TEST_F(ClientConnectionTest, AutomaticReconnectionFollowsOnlyResultsThatMayChange)
{
    ConnectAndAccept(1);
    ASSERT_TRUE(m_server->AnswerInit(6));
    const auto refused = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_server->Accept()) << "tried again";
    EXPECT_GE(std::chrono::steady_clock::now() - refused, 900ms);
    ASSERT_TRUE(m_server->AnswerInit(3));
    EXPECT_EQ(m_app.WaitFor(1), (Events{Failed(EIOCPE_SIGNATURE_DIFF)})) << "only the final refusal is reported";
    EXPECT_FALSE(m_server->Accept(2500)) << "a different signature is not tried again";
}

TEST_F(ClientConnectionTest, WithAnIntervalOnlyTheRefusalsOfTheClientAsItIsEndReconnection)
{
    const struct {
        uint32_t result;
        uint32_t code; ///< reported when the refusal is final
        bool final;
    } cases[] = {
        {1, EIOCPE_PROTO_VERSION_ERR, true},     {2, EIOCPE_PROTO_VERSION_ERR, true},
        {3, EIOCPE_SIGNATURE_DIFF, true},        {4, EIOCPE_ENCRYPTION_DIFFERENT, true},
        {5, EIOCPE_UNK_CLIENT_TYPE, true},       {6, EIOCPE_TOO_MANY_CLIENTS_ERR, false},
        {7, EIOCPE_NO_MEM_ON_SRV, false},        {8, EIOCPE_ECONNREFUSED, false},
        {9, EIOCPE_FORBIDDEN_CLIENT, true},      {10, EIOCPE_FAIL, false},
        {11, EIOCPE_FAIL, false},
    };
    bool accepted = false; // the client's next attempt is on the stand-in already
    for (const auto& c : cases) {
        SCOPED_TRACE("result " + std::to_string(c.result));
        if (!accepted)
            ConnectAndAccept(1);
        ASSERT_TRUE(m_server->AnswerInit(c.result));
        m_server->Close();
        if (c.final) {
            EXPECT_EQ(m_app.WaitFor(1), (Events{Failed(c.code)}));
            EXPECT_FALSE(m_server->Accept(1500)) << "tried again";
            accepted = false;
        } else {
            accepted = m_server->Accept(3000);
            EXPECT_TRUE(accepted) << "not tried again";
            EXPECT_EQ(m_app.Take(), Events{}) << "reported while trying again";
        }
        m_app.Take();
    }
}

TEST_F(ClientConnectionTest, ADisconnectCancelsAPendingReconnection)
{
    ConnectAndAccept(1);
    ASSERT_TRUE(m_server->AnswerInit(6));
    ASSERT_TRUE(m_server->WaitForEnd());
    EXPECT_EQ(m_connection->Disconnect(true, false), EIOCPE_SUCCESS);
    EXPECT_FALSE(m_server->Accept(2500));
    EXPECT_EQ(m_app.Take(), Events{});
}

// One admitted connection: an answer and a packet arriving one byte per read, two packets in
// one read, and a packet whose header announces more than has come.
TEST_F(ClientConnectionTest, FramesAreAssembledFromAnyPieces)
{
    ConnectAndAccept();
    ASSERT_EQ(m_server->ReadFrame().size(), 130u);
    ASSERT_TRUE(m_server->SendRaw(CStandInServer::Answer(0) + CStandInServer::Frame(8, "bytewise"), 1));
    EXPECT_EQ(m_app.WaitFor(2), (Events{"connected", "packet bytewise"}));

    ASSERT_TRUE(m_server->SendRaw(CStandInServer::Frame(8, "one") + CStandInServer::Frame(8, "two")));
    EXPECT_EQ(m_app.WaitFor(4), (Events{"connected", "packet bytewise", "packet one", "packet two"}));
    m_app.Take();

    const std::string split = CStandInServer::Frame(8, "0123456789");
    ASSERT_TRUE(m_server->SendRaw(split.substr(0, 15)));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(m_app.Take(), Events{}) << "nothing before the rest has come";
    ASSERT_TRUE(m_server->SendRaw(split.substr(15)));
    EXPECT_EQ(m_app.WaitFor(1), (Events{"packet 0123456789"}));
}

TEST_F(ClientConnectionTest, FramesOfTheLongestLengthPassBothWaysAndALongerPacketIsRefused)
{
    Admit();
    const std::string longest(CSessionHeader::kMaxPayload, 'L');
    ASSERT_TRUE(m_server->SendRaw(CStandInServer::Frame(8, longest)));
    const Events received = m_app.WaitFor(1);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(received[0] == "packet " + longest);
    ASSERT_EQ(m_connection->Send(longest.data(), static_cast<uint32_t>(longest.size())), EIOCPE_SUCCESS);
    EXPECT_TRUE(m_server->ReadFrame() == CStandInServer::Frame(8, longest));
    const std::string longer(CSessionHeader::kMaxPayload + 1, 'X');
    EXPECT_EQ(m_connection->Send(longer.data(), static_cast<uint32_t>(longer.size())), EIOCPE_BAD_PARAMS);
}

TEST_F(ClientConnectionTest, BrokenStreamsEndTheSessionWithAProtocolError)
{
    struct Case {
        const char* name;
        bool admitted;
        std::string bytes;
        const char* line;
    };
    const char* const badHeader = "IIOCP_ClientConnection - conn thread : ERR : Invalid packet header!";
    const Case cases[] = {
        {"bad magic", true, std::string("\x55\xAA\x0A\x00\x00\x00\x08\x00\x00\x00", 10), badHeader},
        {"length below the header", true, CStandInServer::Header(5, 8), badHeader},
        {"length above the bound", true, CStandInServer::Header((1u << 20) + 1, 8), badHeader},
        {"USER without payload", true, CStandInServer::Frame(8, ""),
         "IIOCP_ClientConnection : ERR : Received bad USER pkt! Disconnect!"},
        {"short INIT answer", false, CStandInServer::Frame(7, "\x01"), badHeader},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = LogCount(c.line);
        if (c.admitted) {
            Admit();
        } else {
            ConnectAndAccept();
            ASSERT_EQ(m_server->ReadFrame().size(), 130u);
        }
        ASSERT_TRUE(m_server->SendRaw(c.bytes));
        EXPECT_EQ(m_app.WaitFor(1), (Events{c.admitted ? Disconnected(EIOCPE_PROTO_ERROR) : Failed(EIOCPE_PROTO_ERROR)}));
        EXPECT_TRUE(Logged(c.line, before + 1));
        EXPECT_TRUE(m_server->WaitForEnd()) << "the client closed";
        m_app.Take();
    }
}

TEST_F(ClientConnectionTest, StrayAndUnknownPacketsAreSkipped)
{
    ConnectAndAccept();
    ASSERT_EQ(m_server->ReadFrame().size(), 130u);
    ASSERT_TRUE(m_server->SendRaw(CStandInServer::Frame(8, "too early") + CStandInServer::Answer(0) +
                                  CStandInServer::Frame(1, "") + CStandInServer::Frame(9, "?") +
                                  CStandInServer::Frame(8, "after")));
    EXPECT_EQ(m_app.WaitFor(2), (Events{"connected", "packet after"}));
    EXPECT_TRUE(Logged("IIOCP_ClientConnection - conn thread : Received bad server response to INIT command : 08 - ignore!"));
    EXPECT_TRUE(Logged("conn thread : ERR : Received unknown CMD from server!"));
    EXPECT_TRUE(Logged("conn thread : ERR : Received unknown server packet : 09 ignore!"));
}

TEST_F(ClientConnectionTest, TheServersEndOfAnAdmittedSessionIsReportedOnce)
{
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        const std::string line = "IIOCP_ClientConnection - conn thread : ERR : Connection closed from server!";
        const size_t before = LogCount(line);
        Admit();
        reset ? m_server->Reset() : m_server->Close();
        EXPECT_EQ(m_app.WaitFor(1), (Events{Disconnected(EIOCPE_CONN_CLOSED_BY_SERVER)}));
        EXPECT_TRUE(Logged(line, before + 1));
        EXPECT_EQ(m_app.WaitFor(2, 200ms).size(), 1u);
        m_app.Take();
    }
}

TEST_F(ClientConnectionTest, TheServersEndBeforeTheAnswerIsAFailedConnect)
{
    ConnectAndAccept();
    ASSERT_EQ(m_server->ReadFrame().size(), 130u);
    m_server->Close();
    EXPECT_EQ(m_app.WaitFor(1), (Events{Failed(EIOCPE_CONN_CLOSED_BY_SERVER)}));
    EXPECT_EQ(m_app.WaitFor(2, 200ms).size(), 1u);
}

TEST_F(ClientConnectionTest, NobodyListeningIsRefusedAndTriedAgainWithAnInterval)
{
    const uint16_t closed = NextTestEndpoint().nPort;
    const std::string line = "IIOCP_ClientConnection - conn thread : ERR : Connect failed : [EIOCPE_WSAECONNREFUSED]";
    ASSERT_EQ(m_connection->Connect("127.0.0.1", closed, 0), EIOCPE_SUCCESS);
    EXPECT_EQ(m_app.WaitFor(1), (Events{Failed(EIOCPE_WSAECONNREFUSED)}));
    EXPECT_TRUE(Logged(line));
    m_app.Take();

    ASSERT_EQ(m_connection->Connect("127.0.0.1", closed, 1), EIOCPE_SUCCESS);
    EXPECT_TRUE(Logged(line, 3)) << "tried again after the interval";
    CStandInServer late(closed);
    ASSERT_TRUE(late.Listening());
    ASSERT_TRUE(late.Accept()) << "and connects once somebody listens";
    EXPECT_EQ(m_app.Take(), Events{}) << "nothing reported while reconnection goes on";
}

TEST_F(ClientConnectionTest, AConnectThatFailsAtOnceKeepsNoIntervalOfAnEarlierConnect)
{
    const uint16_t closed = NextTestEndpoint().nPort;
    ASSERT_EQ(m_connection->Connect("127.0.0.1", closed, 1), EIOCPE_SUCCESS);
    ASSERT_TRUE(Logged("IIOCP_ClientConnection - conn thread : ERR : Connect failed : [EIOCPE_WSAECONNREFUSED]"));
    // The test's namespace has no route to 10.0.0.0/8: the connect fails without an attempt.
    ASSERT_EQ(m_connection->Connect("10.1.2.3", m_nPort, 0), EIOCPE_SUCCESS);
    EXPECT_EQ(m_app.WaitFor(1), (Events{Failed(EIOCPE_WSAENETUNREACH)}));
    EXPECT_EQ(m_app.WaitFor(2, 2500ms).size(), 1u) << "tried again";
}

TEST_F(ClientConnectionTest, AnUnknownHostIsAFailedConnect)
{
    CStdoutCapture debugOutput(STDERR_FILENO);
    ASSERT_EQ(m_connection->Connect("no-such-host.invalid", m_nPort, 0), EIOCPE_SUCCESS);
    const Events events = m_app.WaitFor(1);
    ASSERT_EQ(events.size(), 1u);
    const std::string code = events[0].substr(events[0].find(' ') + 1);
    EXPECT_TRUE(code == "113" || code == "114" || code == "115" || code == "116") << events[0];
    EXPECT_TRUE(Logged("IIOCP_ClientConnection - conn thread : ERR : Try to connect failed : " +
                       std::string(GetErrorText(static_cast<uint32_t>(std::stoul(code))))));
    EXPECT_EQ(debugOutput.Take(), "gethostbyname failed!\n");
}

TEST_F(ClientConnectionTest, ConnectWhileConnectingOrAdmittedLeavesTheSessionAlone)
{
    ConnectAndAccept();
    ASSERT_EQ(m_connection->Connect("127.0.0.1", m_nPort, 0), EIOCPE_SUCCESS);
    EXPECT_EQ(m_app.WaitFor(1), (Events{Failed(EIOCPE_CONNECT_IN_PROGRESS)}));
    ASSERT_TRUE(m_server->AnswerInit(0));
    EXPECT_EQ(m_app.WaitFor(2), (Events{Failed(EIOCPE_CONNECT_IN_PROGRESS), "connected"}));
    ASSERT_EQ(m_connection->Connect("127.0.0.1", m_nPort, 0), EIOCPE_SUCCESS);
    ASSERT_EQ(m_app.WaitFor(3).size(), 3u);
    ASSERT_TRUE(m_server->SendRaw(CStandInServer::Frame(8, "still here")));
    EXPECT_EQ(m_app.WaitFor(4), (Events{Failed(EIOCPE_CONNECT_IN_PROGRESS), "connected",
                                        Failed(EIOCPE_ALREADY_CONNECTED), "packet still here"}));
}

TEST_F(ClientConnectionTest, SendsAreDroppedBeforeAdmissionAndFramedInOrderAfter)
{
    ConnectAndAccept();
    ASSERT_EQ(m_server->ReadFrame().size(), 130u); // the client waits for the answer now
    ASSERT_EQ(m_connection->Send("early", 5), EIOCPE_SUCCESS);
    ASSERT_TRUE(m_server->SendRaw(CStandInServer::Answer(0)));
    ASSERT_EQ(m_app.WaitFor(1), (Events{"connected"}));
    ASSERT_EQ(m_connection->Send("one", 3), EIOCPE_SUCCESS);
    ASSERT_EQ(m_connection->Send("two", 3), EIOCPE_SUCCESS);
    EXPECT_EQ(m_server->ReadFrame(), CStandInServer::Frame(8, "one"));
    EXPECT_EQ(m_server->ReadFrame(), CStandInServer::Frame(8, "two"));
}

// The application asks for the next packet from within the callback and only then works on the
// one it has; the request must be on the wire while the callback still runs.
TEST_F(ClientConnectionTest, ASendFromACallbackGoesOutBeforeTheCallbackReturns)
{
    class CAnsweringReceiver : public CRecordingClientReceiver {
    public:
        void OnReceivePkt(const uint8_t* payload, uint32_t length, uint32_t tag) override
        {
            CRecordingClientReceiver::OnReceivePkt(payload, length, tag);
            pConnection->Send("next", 4);
            answerSeen.wait_for(10s);
        }
        IIOCP_ClientConnection* pConnection = nullptr;
        std::shared_future<void> answerSeen;
    };
    std::promise<void> seen;
    CAnsweringReceiver app;
    app.answerSeen = seen.get_future().share();
    uint32_t error = 1;
    std::unique_ptr<IIOCP_ClientConnection> connection(CreateClientConnection(&app, &error));
    ASSERT_NE(connection, nullptr);
    app.pConnection = connection.get();
    ASSERT_EQ(connection->Connect("127.0.0.1", m_nPort, 0), EIOCPE_SUCCESS);
    ASSERT_TRUE(m_server->Accept());
    ASSERT_TRUE(m_server->AnswerInit(0));
    ASSERT_EQ(app.WaitFor(1), (Events{"connected"}));
    ASSERT_TRUE(m_server->SendRaw(CStandInServer::Frame(8, "packet")));
    EXPECT_EQ(m_server->ReadFrame(), CStandInServer::Frame(8, "next"));
    seen.set_value();
    EXPECT_EQ(DestroyClientConnection(connection.get()), EIOCPE_SUCCESS);
}

TEST_F(ClientConnectionTest, AGracefulDisconnectDeliversTheServersLastPacketsFirst)
{
    Admit();
    std::thread disconnect([&] { EXPECT_EQ(m_connection->Disconnect(true, false), EIOCPE_SUCCESS); });
    const bool ended = m_server->WaitForEnd();
    EXPECT_TRUE(ended);
    m_server->SendRaw(CStandInServer::Frame(8, "last") + CStandInServer::Frame(8, "words"));
    m_server->Close();
    disconnect.join();
    EXPECT_EQ(m_app.Take(), (Events{"packet last", "packet words", Disconnected(EIOCPE_CONN_CLOSED_BY_SERVER)}));
}

TEST_F(ClientConnectionTest, AGracefulDisconnectEndsAfterFiveSecondsOfSilence)
{
    Admit();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_connection->Disconnect(true, false), EIOCPE_SUCCESS);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 4900ms);
    EXPECT_LT(waited, 30s);
    EXPECT_EQ(m_app.Take(), (Events{Disconnected(0)}));
    EXPECT_TRUE(m_server->WaitForEnd());
}

TEST_F(ClientConnectionTest, DestroyClosesWithoutCallbacks)
{
    Admit();
    Destroy();
    EXPECT_TRUE(m_server->WaitForEnd());
    EXPECT_EQ(m_app.Take(), Events{});
}

// The stand-in reads nothing after the answer, so the connection thread ends up waiting for
// room in the middle of a packet: a disconnect or the destroyer must still get through.
TEST_F(ClientConnectionTest, ASendThatFindsNoRoomGivesWayToDisconnectAndDestroy)
{
    const std::string packet(64 << 10, 'p');
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroy" : "disconnect");
        if (m_connection == nullptr) {
            m_connection = CreateClientConnection(&m_app, nullptr);
            ASSERT_NE(m_connection, nullptr);
        }
        Admit();
        for (int i = 0; i < 512; ++i) { // 32 MB, more than both ends buffer; the queue takes 16 MiB
            const uint32_t result = m_connection->Send(packet.data(), static_cast<uint32_t>(packet.size()));
            ASSERT_TRUE(result == EIOCPE_SUCCESS || result == EIOCPE_NO_MEM) << result;
        }
        if (destroy) {
            Destroy();
            EXPECT_EQ(m_app.Take(), Events{}) << "the destroyer asks for no callbacks";
        } else {
            EXPECT_EQ(m_connection->Disconnect(true, false), EIOCPE_SUCCESS);
            EXPECT_EQ(m_app.Take(), (Events{Disconnected(EIOCPE_WSAEINTR)})) << "the session ends with the send";
        }
        EXPECT_TRUE(m_server->WaitForEnd()) << "the client closed";
    }
}

class CHeldApplication : public CRecordingClientReceiver, public CHeldCallback {
public:
    void OnReceivePkt(const uint8_t*, uint32_t, uint32_t) override { Enter(); }
};

TEST_F(ClientConnectionTest, DestroyGivesUpAThreadHeldInTheApplicationsCallbackWhichEndsOnceReleased)
{
    CHeldApplication app;
    IIOCP_ClientConnection* connection = CreateClientConnection(&app, nullptr);
    ASSERT_NE(connection, nullptr);
    std::unique_lock<std::mutex> hold = app.Hold();
    ASSERT_EQ(connection->Connect("127.0.0.1", m_nPort, 0), EIOCPE_SUCCESS);
    ASSERT_TRUE(m_server->Accept());
    ASSERT_TRUE(m_server->AnswerInit(0));
    ASSERT_TRUE(m_server->SendRaw(CStandInServer::Frame(8, "held")));
    const ThreadNumber thread = app.WaitEntered(10s);
    ASSERT_NE(thread, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DestroyClientConnection(connection), EIOCPE_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_TRUE(m_server->WaitForEnd()) << "the socket is closed";
    delete connection; // the thread, still held, touches it no more
    hold.unlock();
    EXPECT_TRUE(WaitUntilEnded(thread, 10s));
    EXPECT_EQ(app.Take(), Events{"connected"});
}

class CDisconnectingApplication : public CRecordingClientReceiver {
public:
    IIOCP_ClientConnection* pConnection = nullptr;
    void OnConnected(uint32_t) override { Record("disconnect " + std::to_string(pConnection->Disconnect(true, true))); }
};

TEST_F(ClientConnectionTest, ADisconnectFromACallbackIsRefusedInsteadOfWaitingForItself)
{
    CDisconnectingApplication app;
    app.pConnection = CreateClientConnection(&app, nullptr);
    ASSERT_NE(app.pConnection, nullptr);
    ASSERT_EQ(app.pConnection->Connect("127.0.0.1", m_nPort, 0), EIOCPE_SUCCESS);
    ASSERT_TRUE(m_server->Accept());
    ASSERT_TRUE(m_server->AnswerInit(0));
    ASSERT_TRUE(m_server->SendRaw(CStandInServer::Frame(8, "still on")));
    EXPECT_EQ(app.WaitFor(2), (Events{"disconnect " + std::to_string(EIOCPE_INVALID_VAL), "packet still on"}));
    EXPECT_EQ(DestroyClientConnection(app.pConnection), EIOCPE_SUCCESS);
    delete app.pConnection;
}

TEST_F(ClientConnectionTest, CallsAfterDestroyAreRefusedInsteadOfQueuedForNobody)
{
    ASSERT_EQ(DestroyClientConnection(m_connection), EIOCPE_SUCCESS);
    ASSERT_EQ(m_connection->Connect("127.0.0.1", m_nPort, 0), EIOCPE_UNABLE_RUN_THREAD);
    ASSERT_EQ(m_connection->Send("x", 1), EIOCPE_UNABLE_RUN_THREAD);
    EXPECT_EQ(m_connection->Disconnect(true, true), EIOCPE_UNABLE_RUN_THREAD);
    EXPECT_FALSE(m_server->Accept(100)) << "nothing was carried out";
}

// The stand-in reads nothing after the answer, so the connection thread waits for room while
// the packets pile up in its queue.
TEST_F(ClientConnectionTest, PacketsWaitingForAStalledSendAreBoundedAtSixteenMegabytes)
{
    Admit();
    const std::string packet(64 << 10, 'q');
    int queued = 0;
    uint32_t result = EIOCPE_SUCCESS;
    while (queued < 1024 &&
           (result = m_connection->Send(packet.data(), static_cast<uint32_t>(packet.size()))) == EIOCPE_SUCCESS)
        ++queued;
    EXPECT_EQ(result, EIOCPE_NO_MEM);
    EXPECT_GE(queued, 256) << "16 MiB and what the thread has taken off";
}

TEST_F(ClientConnectionTest, MissingArgumentsAreRefused)
{
    EXPECT_EQ(m_connection->Connect(nullptr, m_nPort, 0), EIOCPE_BAD_PARAMS);
    EXPECT_EQ(m_connection->Connect("127.0.0.1", 0, 0), EIOCPE_BAD_PARAMS);
    EXPECT_EQ(m_connection->Send(nullptr, 1), EIOCPE_BAD_PARAMS);
    EXPECT_EQ(m_connection->Send("x", 0), EIOCPE_BAD_PARAMS);
    uint32_t error = 0;
    EXPECT_EQ(CreateClientConnection(nullptr, &error), nullptr);
    EXPECT_EQ(error, EIOCPE_BAD_PARAMS);
    EXPECT_FALSE(m_server->Accept(100)) << "nothing was queued";
}

} // namespace
