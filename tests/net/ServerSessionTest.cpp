// The session protocol as a client sees it through a real server: the handshake, refusals,
// reassembly in both directions and broken streams.

#include "ServerFixture.h"

#include "net/server/IOCPClientId.h"
#include "support/Ipv4.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

namespace {

using ServerSessionTest = ServerFixture;
using Bytes = std::vector<uint8_t>;

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

CSessionInitRequest RequestWithCookie(uint32_t cookie)
{
    CSessionInitRequest request = CSessionInitRequest::ForThisProtocol();
    request.nCookie = cookie;
    return request;
}

/// An INIT frame cut to `length` bytes, its length field saying so.
Bytes ShortInit(uint32_t length, uint32_t cookie)
{
    Bytes frame = CStandInClient::InitFrame(RequestWithCookie(cookie));
    frame.resize(length);
    CSessionHeader::Write(frame.data(), length, CMD_INIT);
    return frame;
}

} // namespace

TEST_F(ServerSessionTest, AnswersInitAndUnknownCommandsWithTheirExactBytes)
{
    StartServer();
    CStandInClient client(m_nPort);
    CSessionInitRequest request = RequestWithCookie(0xA1B2C3D4);
    request.nClientType = 7;
    request.nHardwareAddress = 0x0123456789AB;
    ASSERT_TRUE(client.SendInit(request));
    const std::optional<CSessionFrame> answer = client.ReadFrame();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, (Bytes{0xAA, 0x55, 0x16, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0xD4, 0xC3, 0xB2, 0xA1}));

    ASSERT_TRUE(m_handler.WaitFor([](const CHandlerRecord& r) { return r.connected.size() == 1; }));
    const CRecordedInit init = m_handler.Snapshot().inits.at(0);
    EXPECT_EQ(init.nClientType, 7u);
    EXPECT_EQ(init.nClientKind, 1u);
    EXPECT_TRUE(init.bLocal);
    EXPECT_EQ(init.nHardwareAddress, 0x0123456789ABu);
    EXPECT_EQ(init.nPeerAddress, Ipv4(127, 0, 0, 1));
    const uint64_t id = m_handler.Snapshot().connected[0];
    EXPECT_EQ(m_server->GetClientType(id), 7u);
    EXPECT_EQ(m_server->GetClientHardwareAddress(id), 0x0123456789ABu);
    EXPECT_EQ(m_server->GetClientAddress(id), Ipv4(127, 0, 0, 1));
    EXPECT_TRUE(m_server->IsClientLocal(id));

    ASSERT_TRUE(client.SendFrame(9, nullptr, 0));
    const std::optional<CSessionFrame> unknown = client.ReadFrame();
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->bytes, (Bytes{0xAA, 0x55, 0x0A, 0, 0, 0, 1, 0, 0, 0}));
    ASSERT_TRUE(client.SendUser("still open"));
    EXPECT_TRUE(m_handler.WaitFor([&](const CHandlerRecord& r) {
        return r.packets.size() == 1 && r.packets[0].nClientId == id && r.packets[0].payload == "still open";
    }));
}

TEST_F(ServerSessionTest, RefusedInitIsAnsweredAndClosedWithoutAdmission)
{
    struct Case {
        const char* name;
        Bytes frame;
        uint32_t handlerResult;
        bool giveReceiver;
        int64_t expected; ///< the answer's result; -1: no answer at all
        uint32_t cookie;
        bool handlerAsked;
    };
    auto changed = [](uint32_t cookie, const std::function<void(CSessionInitRequest&)>& change) {
        CSessionInitRequest request = RequestWithCookie(cookie);
        change(request);
        return CStandInClient::InitFrame(request);
    };
    const Case cases[] = {
        {"version", changed(11, [](CSessionInitRequest& r) { r.nVersion = 0x0102; }), 0, true, 1, 11, false},
        {"kind", changed(12, [](CSessionInitRequest& r) { r.nClientKind = 2; }), 0, true, 2, 12, false},
        {"signature", changed(13, [](CSessionInitRequest& r) { r.szSignature[35] = '6'; }), 0, true, 3, 13, false},
        {"handler refuses", changed(14, [](CSessionInitRequest&) {}), 6, true, 6, 14, true},
        {"admitted without receiver", changed(15, [](CSessionInitRequest&) {}), 0, false, 10, 15, true},
        {"20-byte INIT", ShortInit(20, 16), 0, true, 1, 0, false},
        {"INIT cut after its cookie", ShortInit(122, 17), 0, true, 1, 17, false},
        {"USER before INIT", CStandInClient::Frame(CMD_USER, "x", 1), 0, true, -1, 0, false},
    };
    StartServer();
    size_t asked = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_handler.nInitResult = c.handlerResult;
        m_handler.bGiveReceiver = c.giveReceiver;
        CStandInClient client(m_nPort);
        ASSERT_TRUE(client.SendBytes(c.frame));
        if (c.expected >= 0) {
            const std::optional<CSessionFrame> answer = client.ReadFrame();
            ASSERT_TRUE(answer && answer->nCommand == CMD_INIT_ANSWER);
            EXPECT_EQ(CSessionInitAnswer::Read(answer->Payload()).nResult, c.expected);
            EXPECT_EQ(CSessionInitAnswer::Read(answer->Payload()).nCookie, c.cookie);
        }
        EXPECT_TRUE(client.ExpectEndOfStream());
        asked += c.handlerAsked ? 1 : 0;
        EXPECT_EQ(m_handler.Snapshot().inits.size(), asked);
    }
    const CHandlerRecord record = m_handler.Snapshot();
    EXPECT_TRUE(record.connected.empty());
    EXPECT_TRUE(record.closed.empty());
}

TEST_F(ServerSessionTest, TheAnswerComesBeforeAnyFrameSentToAllWhileTheClientIsAdmitted)
{
    StartServer(4);
    // Stopped and joined however the loop ends, a failed assertion included.
    const std::jthread sender([&](const std::stop_token& stop) {
        while (!stop.stop_requested())
            m_server->SendToAll("all", 3);
    });
    for (int i = 0; i < 200; ++i) {
        CStandInClient client(m_nPort);
        ASSERT_TRUE(client.SendInit());
        const std::optional<CSessionFrame> first = client.ReadFrame();
        ASSERT_TRUE(first);
        EXPECT_EQ(first->nCommand, CMD_INIT_ANSWER) << "client " << i;
    }
}

TEST_F(ServerSessionTest, SignatureIsComparedUpToItsTerminator)
{
    StartServer();
    CSessionInitRequest request = CSessionInitRequest::ForThisProtocol();
    std::memset(request.szSignature + sizeof kSessionSignature, 0x7E, sizeof request.szSignature - sizeof kSessionSignature);
    CStandInClient client(m_nPort);
    EXPECT_NE(Admit(client, request), 0u);
}

TEST_F(ServerSessionTest, ReassemblesFramesInBothDirections)
{
    m_handler.onPacket = [this](uint64_t id, const uint8_t* payload, uint32_t length) {
        return m_server->SendToClient(id, payload, length) == EIOCPE_SUCCESS ? 1 : 0;
    };
    StartServer();
    CStandInClient client(m_nPort);
    for (uint8_t byte : CStandInClient::InitFrame(CSessionInitRequest::ForThisProtocol())) {
        ASSERT_TRUE(client.SendBytes({byte}));
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    const std::optional<CSessionFrame> answer = client.ReadFrame();
    ASSERT_TRUE(answer && answer->nCommand == CMD_INIT_ANSWER);
    EXPECT_EQ(CSessionInitAnswer::Read(answer->Payload()).nResult, 0u);

    ASSERT_TRUE(client.SendBytes(Concat(CStandInClient::Frame(CMD_USER, "first", 5), CStandInClient::Frame(CMD_USER, "second", 6))));
    std::string large(120000, '\0');
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_TRUE(client.SendUser(large));
    for (const std::string& expected : {std::string("first"), std::string("second"), large}) {
        const std::optional<CSessionFrame> echo = client.ReadFrame();
        ASSERT_TRUE(echo && echo->nCommand == CMD_USER);
        EXPECT_TRUE(echo->PayloadText() == expected) << echo->PayloadSize() << " bytes instead of " << expected.size();
    }
    const CHandlerRecord record = m_handler.Snapshot();
    ASSERT_EQ(record.inits.size(), 1u);
    ASSERT_EQ(record.packets.size(), 3u);
    EXPECT_EQ(record.packets[0].payload, "first");
    EXPECT_EQ(record.packets[1].payload, "second");
    EXPECT_TRUE(record.packets[2].payload == large);
}

TEST_F(ServerSessionTest, FramesOfTheLongestLengthPassBothWaysAndEverySendRefusesALongerPayload)
{
    m_handler.onPacket = [this](uint64_t id, const uint8_t* payload, uint32_t length) {
        return m_server->SendToClient(id, payload, length) == EIOCPE_SUCCESS ? 1 : 0;
    };
    StartServer();
    CStandInClient client(m_nPort);
    const uint64_t id = Admit(client);
    m_server->AddClientToGroups(id, {1});
    const std::string longest(CSessionHeader::kMaxPayload, 'L');
    ASSERT_TRUE(client.SendUser(longest));
    const std::optional<CSessionFrame> echo = client.ReadFrame();
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->bytes.size(), CSessionHeader::kMaxLength);
    EXPECT_TRUE(echo->PayloadText() == longest);

    const std::string longer(CSessionHeader::kMaxPayload + 1, 'X');
    const uint32_t size = static_cast<uint32_t>(longer.size());
    EXPECT_EQ(m_server->SendToClient(id, longer.data(), size), EIOCPE_BAD_PARAMS);
    EXPECT_EQ(m_server->SendToGroup(1, longer.data(), size), EIOCPE_BAD_PARAMS);
    EXPECT_EQ(m_server->SendToAll(longer.data(), size), EIOCPE_BAD_PARAMS);
    ASSERT_EQ(m_server->SendToClient(id, "next", 4), EIOCPE_SUCCESS);
    const std::optional<CSessionFrame> next = client.ReadFrame();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->PayloadText(), "next");
}

TEST_F(ServerSessionTest, BrokenStreamIsClosedAtOnceWithTheHexDumpOfItsStart)
{
    struct Case {
        const char* name;
        Bytes bytes;
        const char* dump;
    };
    Bytes forty = {0x12, 0x34, 40, 0, 0, 0, 8, 0, 0, 0};
    for (uint8_t i = 0; forty.size() < 40; ++i)
        forty.push_back(i);
    const std::string http = "GET / HTTP/1.1\r\nHost: server\r\n\r\n";
    const Case cases[] = {
        {"bad magic", {0x12, 0x34, 12, 0, 0, 0, 8, 0, 0, 0, 0xAB, 0xCD}, "[ 12 34 0C 00 00 00 08 00 00 00 AB CD ]"},
        {"bad magic, 30 bytes shown", forty,
         "[ 12 34 28 00 00 00 08 00 00 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 ]"},
        {"length 0", {0xAA, 0x55, 0, 0, 0, 0, 8, 0, 0, 0}, "[ AA 55 00 00 00 00 08 00 00 00 ]"},
        {"length 5", {0xAA, 0x55, 5, 0, 0, 0, 8, 0, 0, 0}, "[ AA 55 05 00 00 00 08 00 00 00 ]"},
        {"length 0xFFFFFFF0", {0xAA, 0x55, 0xF0, 0xFF, 0xFF, 0xFF, 8, 0, 0, 0}, "[ AA 55 F0 FF FF FF 08 00 00 00 ]"},
        {"length 1 MiB + 1", {0xAA, 0x55, 0x01, 0x00, 0x10, 0x00, 8, 0, 0, 0}, "[ AA 55 01 00 10 00 08 00 00 00 ]"},
        {"a stray HTTP request", Bytes(http.begin(), http.end()),
         "[ 47 45 54 20 2F 20 48 54 54 50 2F 31 2E 31 0D 0A 48 6F 73 74 3A 20 73 65 72 76 65 72 0D 0A ]"},
    };
    StartServer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CStandInClient client(m_nPort);
        const uint64_t id = Admit(client);
        ASSERT_TRUE(client.SendBytes(c.bytes));
        EXPECT_TRUE(client.ExpectEndOfStream());
        EXPECT_TRUE(WaitForLog(std::string("IOCP : ERR : CIOCPClientConnection::CheckForReadyPackets - Invalid packet header ") +
                               c.dump + ", disconnecting client!\r\n"));
        EXPECT_TRUE(WaitForClosed(id));
    }
}

TEST_F(ServerSessionTest, PlausibleLengthWaitsForItsBytesBeforeTheMagicIsChecked)
{
    StartServer();
    CStandInClient client(m_nPort);
    Admit(client);
    Bytes frame = {0x12, 0x34, 40, 0, 0, 0, 8, 0, 0, 0};
    frame.resize(40, 0x66);
    ASSERT_TRUE(client.SendBytes(Bytes(frame.begin(), frame.begin() + 20)));
    EXPECT_FALSE(client.ExpectEndOfStream(300));
    EXPECT_EQ(CountOf(m_log.Peek(), "Invalid packet header"), 0u);
    ASSERT_TRUE(client.SendBytes(Bytes(frame.begin() + 20, frame.end())));
    EXPECT_TRUE(client.ExpectEndOfStream());
    EXPECT_TRUE(WaitForLog("Invalid packet header [ 12 34 28 00 00 00 08 00 00 00 66 66"));
}

TEST_F(ServerSessionTest, CloseIsReportedForAnAdmittedClientWhoseSecondInitFails)
{
    StartServer();
    CStandInClient client(m_nPort);
    const uint64_t id = Admit(client);
    CSessionInitRequest request = RequestWithCookie(99);
    request.nVersion = 0x0202;
    const std::optional<CSessionInitAnswer> answer = client.Init(request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->nResult, 1u);
    EXPECT_TRUE(client.ExpectEndOfStream());
    EXPECT_TRUE(WaitForClosed(id));
    EXPECT_EQ(m_server->SendToClient(id, "x", 1), EIOCPE_NOT_CONNECTED);
}
