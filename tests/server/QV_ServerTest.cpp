// The server core against a recording network server: the dispatch of client packets, the
// numbered stream with its history and retransmission, heartbeats, the abandoned stream, the
// snapshots of joining clients, and the one promise they all serve: a client that applies its
// snapshot and then the stream from the snapshot's number has the server's store.

#include "RecordingNetServer.h"
#include "server/QV_Server.h"
#include "net/common/QVNET_RetransmitPkt.h"
#include "net/common/QVNET_SeqPkt.h"
#include "support/ClientReplay.h"
#include "support/Ipv4.h"
#include "support/OutputWait.h"
#include "support/ServerStoreSteps.h"
#include "support/StdoutCapture.h"
#include "support/TempFile.h"
#include "support/ThrownText.h"
#include "platform/ResidentMemory.h"
#include "Subsidiary/NetErrors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 10s;
constexpr uint64_t kMiB = 1024 * 1024;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kFreedMemoryIsKept = true;
#else
constexpr bool kFreedMemoryIsKept = false;
#endif
constexpr uint64_t kClient = (4ull << 32) | 7;
constexpr uint64_t kOtherClient = (9ull << 32) | 1;

std::vector<uint8_t> Request(uint8_t id)
{
    const auto packet = QVNET_SeqPkt<0>::Build(0);
    std::vector<uint8_t> bytes(packet.begin(), packet.end());
    bytes[0] = id;
    return bytes;
}

std::vector<uint8_t> Retransmit(std::vector<uint64_t> seqs)
{
    return QVNET_RetransmitPkt::Build(seqs);
}

uint8_t IdOf(const std::vector<uint8_t>& packet)
{
    return packet.at(0);
}

uint64_t SeqOf(const std::vector<uint8_t>& packet)
{
    return packet.size() >= 13 ? QVNET_StreamHeader::ReadSeq(packet.data()) : 0;
}

auto IsHeartbeat(uint64_t seq)
{
    return [seq](const SRecordedDatagram& d) { return IdOf(d.bytes) == QVNET_ID_HEARTBEAT && SeqOf(d.bytes) == seq; };
}

// The numbers of the stream datagrams from index `from` on, in sending order.
std::vector<uint64_t> StreamSeqs(const std::vector<SRecordedDatagram>& datagrams, size_t from = 0)
{
    std::vector<uint64_t> seqs;
    for (size_t i = from; i < datagrams.size(); ++i)
        if (IdOf(datagrams[i].bytes) == QVNET_ID_STREAM)
            seqs.push_back(SeqOf(datagrams[i].bytes));
    return seqs;
}

class QV_ServerTest : public testing::Test {
protected:
    explicit QV_ServerTest(CServerTimings timings = {}) : m_Timings(timings)
    {
        CTempFile file("[SERVER]\nServerPort=7123\nMulticastAddr=239.77.1.2\nNetInterfaceAddr=127.0.0.1\n"
                       "MaxClientConnections=9\nNumberOfThreads=2\n");
        EXPECT_TRUE(m_Settings.LoadFrom(file.Path()));
        EXPECT_TRUE(m_Server.Init());
    }
    ~QV_ServerTest() override
    {
        if (m_Server.IsRunning())
            m_Server.Stop();
        m_Server.Deinit();
    }

    int32_t Receive(const std::vector<uint8_t>& packet, uint64_t client = kClient)
    {
        return m_Server.OnReceivePkt(client, packet.data(), static_cast<uint32_t>(packet.size()));
    }

    // A closed stream packet as the store hands it over; the test keeps no reference.
    void SendPacket()
    {
        CUDPBuffRef packet = MakeUDPBuff(QVNET_StreamHeader::kMaxSize);
        packet->SetSize(QVNET_StreamHeader::kSize + 9);
        packet->SetTag(m_Settings.GetMulticastAddr());
        QVNET_PktHeader::Write(packet->GetData(), QVNET_ID_STREAM, packet->GetSize());
        m_Server.SendStreamPacket(*packet);
    }

    // Three objects whose names and values of 2000 characters fill one snapshot packet each.
    void FillThreeSnapshotPackets()
    {
        CObjectsRepository& store = m_Server.GetRepository();
        for (char c : {'a', 'b', 'c'}) {
            const uint64_t id = CreateAndRelease(store, std::string(2000, c), "T");
            SetAndRelease(store, id, "p", std::string(2000, c));
        }
    }

    CSettings m_Settings;
    CRecordingNetServer* m_pNet = nullptr; // owned by m_Server from Init to Deinit
    CServerTimings m_Timings;
    CQV_Server m_Server{m_Settings,
                        [this](int32_t, uint32_t, int32_t, int32_t, IIOCP_ConnHandler*, uint32_t*) {
                            return m_pNet = new CRecordingNetServer;
                        },
                        m_Timings};
};

} // namespace

TEST(QV_ServerInitTest, TheFactoryGetsTheSettingsAndItsFailureIsLogged)
{
    CTempFile file("[SERVER]\nServerPort=7123\nMulticastAddr=239.77.1.2\nNetInterfaceAddr=10.1.2.3\n"
                   "MaxClientConnections=9\nNumberOfThreads=2\n");
    CSettings settings;
    ASSERT_TRUE(settings.LoadFrom(file.Path()));
    std::vector<int64_t> given;
    IIOCP_ConnHandler* handler = nullptr;
    CQV_Server server(settings, [&](int32_t port, uint32_t address, int32_t workers, int32_t slots,
                                    IIOCP_ConnHandler* connHandler, uint32_t* error) -> IIOCP_Server* {
        given = {port, address, workers, slots};
        handler = connHandler;
        *error = EIOCPE_BAD_PARAMS;
        return nullptr;
    });
    CStdoutCapture capture;
    EXPECT_FALSE(server.Init());
    const std::string output = capture.Take();
    EXPECT_EQ(given, (std::vector<int64_t>{7123, Ipv4(10, 1, 2, 3), 2, 9}));
    EXPECT_EQ(handler, &server);
    EXPECT_EQ(CountOf(output, "] CQV_Server::Init() : ERR : Error instantiating TCP server : " +
                                  std::string(GetErrorText(EIOCPE_BAD_PARAMS)) + "\r\n"),
              1u)
        << output;
    EXPECT_EQ(CountOf(output, "] CObjectsRepository::Cleanup : Delete objects...\r\n"), 1u) << output;
}

// Each refusal logs one line and has the connection closed.
TEST_F(QV_ServerTest, RefusedPacketsCloseTheConnectionWithTheirLine)
{
    std::vector<uint8_t> oneByteTooMany = Request(QVNET_ID_SYNC_REQUEST);
    oneByteTooMany.push_back(0);
    std::vector<uint8_t> unknown = Request(QVNET_ID_SYNC_REQUEST);
    unknown[0] = 7;
    const std::string badSize = "CQV_Server::OnReceivePkt : ERR : Bad packet size vs received size!";
    struct {
        const char* name;
        std::vector<uint8_t> payload;
        bool throwOnSend;
        std::string line;
    } cases[] = {
        {"size field 13, 14 bytes", oneByteTooMany, false, badSize},
        {"0 bytes", {}, false, badSize},
        {"1 byte", {4}, false, badSize},
        {"2 bytes", {4, 2}, false, badSize},
        {"3 bytes", {4, 3, 0}, false, badSize},
        {"4 bytes", {4, 4, 0, 0}, false, badSize},
        {"unknown id 7", unknown, false, "CQV_Server::OnReceivePkt : ERR : Unknown pkt ID : 7"},
        {"next-sync without request", Request(QVNET_ID_NEXT_SYNC), false,
         "OnPkt_QVNET_NextSyncPkt : ERR : Bad state, not in synchronization!"},
        {"a handler that throws", Request(QVNET_ID_SYNC_REQUEST), true,
         "CQV_Server::OnReceivePkt : ERR : Some bad thing is happening, disconnecting client!"},
    };
    for (const auto& c : cases) {
        m_pNet->m_bThrowOnSend = c.throwOnSend;
        // A copy of exactly the payload's size, so that reading past it is caught.
        const auto exact = std::make_unique<uint8_t[]>(c.payload.size());
        std::copy(c.payload.begin(), c.payload.end(), exact.get());
        CStdoutCapture capture;
        EXPECT_EQ(m_Server.OnReceivePkt(kClient, exact.get(), static_cast<uint32_t>(c.payload.size())), 0) << c.name;
        const std::string output = capture.Take();
        EXPECT_EQ(CountOf(output, "\r\n"), 1u) << c.name << ": " << output;
        EXPECT_EQ(CountOf(output, "] " + c.line + "\r\n"), 1u) << c.name << ": " << output;
    }
}

TEST_F(QV_ServerTest, TheHistoryKeepsTheLast500PacketsForRetransmission)
{
    for (int i = 0; i < 600; ++i)
        SendPacket();
    const std::vector<SRecordedDatagram> sent = m_pNet->Datagrams();
    ASSERT_EQ(sent.size(), 1200u);
    for (uint64_t seq = 3; seq <= 602; ++seq) {
        const size_t first = 2 * (seq - 3);
        ASSERT_EQ(SeqOf(sent[first].bytes), seq);
        ASSERT_EQ(sent[first + 1].bytes, sent[first].bytes) << seq;
        ASSERT_EQ(sent[first].nTag, Ipv4(239, 77, 1, 2));
    }

    std::vector<uint8_t> sevenExtra = Retransmit({103});
    sevenExtra.resize(20);
    QVNET_PktHeader::Write(sevenExtra.data(), QVNET_ID_RETRANSMIT, 20);
    std::vector<uint8_t> tooShort = Retransmit({103});
    tooShort.resize(12);
    QVNET_PktHeader::Write(tooShort.data(), QVNET_ID_RETRANSMIT, 12);
    const std::string tooFar = "] QVNET_RetransmitPkt : Client is too far behind main feed, disconnect!\r\n";
    struct {
        const char* name;
        std::vector<uint8_t> request;
        int32_t result;
        std::string printed; ///< the whole output, or its start when a line follows
        std::string line;
        std::vector<uint64_t> resent;
    } cases[] = {
        {"oldest kept", Retransmit({103}), 1, "1;X", "", {103, 103}},
        {"newest, asked twice", Retransmit({602, 602}), 1, "2;XX", "", {602, 602, 602, 602}},
        {"7 trailing bytes", sevenExtra, 1, "1;X", "", {103, 103}},
        {"length 21 asks for two", Retransmit({104, 105}), 1, "2;XX", "", {104, 104, 105, 105}},
        {"trimmed", Retransmit({102}), 0, "1;", tooFar, {}},
        {"never sent", Retransmit({603}), 0, "1;", tooFar, {}},
        {"the first missing ends it", Retransmit({106, 1000, 107}), 0, "3;X", tooFar, {106, 106}},
        {"length 12", tooShort, 0, "", "] QVNET_RetransmitPkt : ERR : Bad pkt size!\r\n", {}},
    };
    for (const auto& c : cases) {
        const size_t before = m_pNet->Datagrams().size();
        CStdoutCapture capture;
        EXPECT_EQ(Receive(c.request), c.result) << c.name;
        const std::string output = capture.Take();
        if (c.line.empty()) {
            EXPECT_EQ(output, c.printed) << c.name;
        } else {
            EXPECT_EQ(output.substr(0, c.printed.size()), c.printed) << c.name << ": " << output;
            EXPECT_EQ(CountOf(output, c.line), 1u) << c.name << ": " << output;
        }
        EXPECT_EQ(StreamSeqs(m_pNet->Datagrams(), before), c.resent) << c.name;
    }

    // The trimmed packets' buffers are the pool, reused as soon as nobody else holds them.
    std::set<const IIOCP_UDPBuffer*> trimmed;
    for (size_t i = 0; i < 200; ++i)
        trimmed.insert(sent[i].pBuffer);
    ASSERT_EQ(trimmed.size(), 100u);
    std::vector<CUDPBuffRef> acquired;
    for (int i = 0; i < 100; ++i) {
        acquired.push_back(m_Server.AcquireStreamBuffer());
        EXPECT_EQ(trimmed.count(acquired.back().Get()), 1u) << i;
    }
    std::set<const IIOCP_UDPBuffer*> all;
    for (const SRecordedDatagram& d : sent)
        all.insert(d.pBuffer);
    EXPECT_EQ(all.count(m_Server.AcquireStreamBuffer().Get()), 0u);
}

TEST_F(QV_ServerTest, APacketStillQueuedInTheSenderIsNotSentAgain)
{
    m_pNet->HoldSends(true);
    SendPacket();
    CStdoutCapture capture;
    EXPECT_EQ(Receive(Retransmit({3})), 1);
    EXPECT_EQ(capture.Peek(), "1;");
    m_pNet->ReleaseHeld();
    m_pNet->HoldSends(false);
    EXPECT_EQ(Receive(Retransmit({3})), 1);
    EXPECT_EQ(capture.Take(), "1;1;X");
    EXPECT_EQ(StreamSeqs(m_pNet->Datagrams()), (std::vector<uint64_t>{3, 3, 3, 3}));
}

TEST_F(QV_ServerTest, HeartbeatsCarryTheNextNumberWhileTheStreamIsIdle)
{
    ASSERT_EQ(m_Server.Start(), 0);
    EXPECT_EQ(m_pNet->m_nMulticastInterface, Ipv4(127, 0, 0, 1));
    EXPECT_EQ(m_pNet->m_nMulticastPort, 7123);
    ASSERT_TRUE(m_pNet->WaitForDatagram(0, IsHeartbeat(3), kLimit));
    SendPacket();
    ASSERT_TRUE(m_pNet->WaitForDatagram(0, IsHeartbeat(4), kLimit));

    const std::vector<SRecordedDatagram> sent = m_pNet->Datagrams();
    const std::vector<uint8_t> expected = {QVNET_ID_HEARTBEAT, 13, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
    size_t heartbeats3 = 0;
    for (const SRecordedDatagram& d : sent) {
        if (d.bytes == expected) {
            ++heartbeats3;
            EXPECT_EQ(d.nTag, Ipv4(239, 77, 1, 2));
        }
    }
    EXPECT_GE(heartbeats3, 2u);
    EXPECT_EQ(heartbeats3 % 2, 0u); // each heartbeat goes out twice
    EXPECT_EQ(StreamSeqs(sent), (std::vector<uint64_t>{3, 3}));

    // While the previous heartbeat is queued in the sender, no other is queued behind it.
    // (The hold may begin between the two copies of one heartbeat.)
    m_pNet->HoldSends(true);
    const size_t held = m_pNet->Datagrams().size();
    ASSERT_TRUE(m_pNet->WaitForDatagram(held, IsHeartbeat(4), kLimit));
    std::this_thread::sleep_for(1s); // four heartbeat periods
    const size_t queued = m_pNet->Datagrams().size();
    EXPECT_LE(queued - held, 2u);
    m_pNet->HoldSends(false);
    m_pNet->ReleaseHeld();
    EXPECT_TRUE(m_pNet->WaitForDatagram(queued, IsHeartbeat(4), kLimit));
}

TEST_F(QV_ServerTest, AFailedMulticastAbandonsTheStreamAndHeartbeatsGoOnFromItsNewStart)
{
    ASSERT_EQ(m_Server.Start(), 0);
    SendPacket();
    SendPacket();
    m_pNet->FailStreamCopy(5, 2, EIOCPE_NO_MEM);
    EXPECT_EQ(ThrownText<std::logic_error>([this] { SendPacket(); }), GetErrorText(EIOCPE_NO_MEM));
    EXPECT_EQ(m_pNet->DisconnectAllCalls(), std::vector<bool>{false});
    {
        CStdoutCapture capture;
        EXPECT_EQ(Receive(Retransmit({3})), 0); // the history is empty
    }

    // A client that resynchronises now hears that the stream goes on at 3.
    const size_t failed = m_pNet->Datagrams().size();
    ASSERT_TRUE(m_pNet->WaitForDatagram(failed, IsHeartbeat(3), 1s));
    SendPacket();
    ASSERT_TRUE(m_pNet->WaitForDatagram(failed, IsHeartbeat(4), kLimit));
    EXPECT_EQ(StreamSeqs(m_pNet->Datagrams()), (std::vector<uint64_t>{3, 3, 4, 4, 5, 3, 3}));
    EXPECT_EQ(m_pNet->DisconnectAllCalls().size(), 1u);
}

TEST_F(QV_ServerTest, AnEmptyStoreCompletesTheSyncAtOnce)
{
    EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST)), 1);
    const std::vector<SRecordedSend> sent = m_pNet->SentTo(kClient);
    ASSERT_EQ(sent.size(), 1u);
    const auto complete = QVNET_SyncCompletePkt::Build(3);
    EXPECT_EQ(sent[0].bytes, std::vector<uint8_t>(complete.begin(), complete.end()));
    CStdoutCapture capture;
    EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC)), 0); // the entry went with the completion
}

TEST_F(QV_ServerTest, ASnapshotIsSentOnePacketPerRequestThenCompleted)
{
    FillThreeSnapshotPackets();
    EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST)), 1);
    const uint64_t q = m_Server.GetNextStreamSeq();
    EXPECT_EQ(m_pNet->SentTo(kClient).size(), 1u);
    for (size_t requests = 1; requests <= 3; ++requests) {
        EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC)), 1);
        EXPECT_EQ(m_pNet->SentTo(kClient).size(), requests + 1);
    }
    const std::vector<SRecordedSend> sent = m_pNet->SentTo(kClient);
    std::set<const void*> snapshotBuffers;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(IdOf(sent[i].bytes), QVNET_ID_STREAM) << i;
        EXPECT_EQ(SeqOf(sent[i].bytes), q) << i;
        snapshotBuffers.insert(sent[i].pPayload);
    }
    const auto complete = QVNET_SyncCompletePkt::Build(q);
    EXPECT_EQ(sent[3].bytes, std::vector<uint8_t>(complete.begin(), complete.end()));

    // The sent packets' buffers went back to the pool.
    std::vector<CUDPBuffRef> acquired;
    for (int i = 0; i < 3; ++i) {
        acquired.push_back(m_Server.AcquireStreamBuffer());
        EXPECT_EQ(snapshotBuffers.count(acquired.back()->GetData()), 1u) << i;
    }
}

TEST_F(QV_ServerTest, ARepeatedRequestStartsOverAtTheNewPosition)
{
    FillThreeSnapshotPackets();
    EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST)), 1);
    const uint64_t first = m_Server.GetNextStreamSeq();
    SetAndRelease(m_Server.GetRepository(), 1, "p", "changed"); // pending: the next request flushes it
    EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST)), 1);
    const uint64_t second = m_Server.GetNextStreamSeq();
    EXPECT_EQ(second, first + 1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC)), 1);
    const std::vector<SRecordedSend> sent = m_pNet->SentTo(kClient);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(SeqOf(sent[0].bytes), first);
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(SeqOf(sent[i].bytes), second) << i;
    EXPECT_EQ(IdOf(sent[4].bytes), QVNET_ID_SYNC_COMPLETE);
    EXPECT_EQ(SeqOf(sent[4].bytes), second);
}

// A join storm: clients asking while nothing goes into the stream get the one rendering; one
// asking after a change gets its own. Each buffer comes back to the pool once, from its last
// holder.
TEST_F(QV_ServerTest, ClientsAskingWhileTheStoreStaysAsItWasShareOneRendering)
{
    constexpr uint64_t kLateClient = (5ull << 32) | 2;
    const std::string rendering = "] GenerateSnapshot : objects : 3, packets : 3 ";
    FillThreeSnapshotPackets();
    CStdoutCapture capture;
    EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST)), 1);
    EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST), kOtherClient), 1);
    EXPECT_EQ(CountOf(capture.Take(), rendering), 1u);
    SetAndRelease(m_Server.GetRepository(), 1, "p", "changed"); // pending: the next request flushes it
    EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST), kLateClient), 1);
    EXPECT_EQ(CountOf(capture.Take(), rendering), 1u) << "rendered anew";
    for (int i = 0; i < 3; ++i) {
        for (uint64_t client : {kClient, kOtherClient, kLateClient})
            EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC), client), 1);
    }
    const std::vector<SRecordedSend> first = m_pNet->SentTo(kClient);
    const std::vector<SRecordedSend> second = m_pNet->SentTo(kOtherClient);
    const std::vector<SRecordedSend> late = m_pNet->SentTo(kLateClient);
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    ASSERT_EQ(late.size(), 4u);
    EXPECT_GT(SeqOf(late[0].bytes), SeqOf(first[0].bytes));
    std::set<const void*> rendered;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(first[i].bytes, second[i].bytes) << i;
        if (i < 3) {
            EXPECT_EQ(first[i].pPayload, second[i].pPayload) << i;
            rendered.insert({first[i].pPayload, late[i].pPayload});
        }
    }
    // The first rendering's first packet had been sent to both and was free for the second.
    ASSERT_EQ(rendered.size(), 5u);
    std::vector<CUDPBuffRef> acquired;
    for (int i = 0; i < 5; ++i) {
        acquired.push_back(m_Server.AcquireStreamBuffer());
        EXPECT_EQ(rendered.erase(acquired.back()->GetData()), 1u) << i;
    }
}

TEST_F(QV_ServerTest, AClientLeavingMidwayLosesItsEntryAndOthersGoOn)
{
    FillThreeSnapshotPackets();
    EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST)), 1);
    EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST), kOtherClient), 1);
    CStdoutCapture capture;
    m_Server.OnConnectionClosed(kClient, 0, false);
    EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC)), 0);
    const std::string output = capture.Take();
    EXPECT_EQ(CountOf(output, "] CQV_Server::OnConnectionClosed : Client disconnected : " + std::to_string(kClient) +
                                  "\r\n"),
              1u)
        << output;
    EXPECT_EQ(CountOf(output, "Bad state, not in synchronization!"), 1u) << output;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC), kOtherClient), 1);
    EXPECT_EQ(m_pNet->SentTo(kOtherClient).size(), 4u);
    EXPECT_EQ(m_pNet->SentTo(kClient).size(), 1u);
}

// Snapshots held by many clients at once, with the sweep's limit shortened. Each client is
// given a rendering of its own: the store changes between their requests.
class QV_ServerIdleSyncTest : public QV_ServerTest {
protected:
    static constexpr uint64_t kClients = 50;

    explicit QV_ServerIdleSyncTest(int64_t idleLimitMs = 1000)
        : QV_ServerTest({.nSyncIdleLimitMs = idleLimitMs, .nSyncSweepPeriodMs = 50})
    {
    }

    /// Clients 1 to kClients each ask for a snapshot of 150 packets; the resident memory before.
    uint64_t RenderForEveryClient()
    {
        EXPECT_EQ(m_Server.Start(), 0);
        CObjectsRepository& store = m_Server.GetRepository();
        uint64_t object = 0;
        for (int i = 0; i < 300; ++i)
            object = CreateAndRelease(store, std::to_string(i) + std::string(2000, 'n'), "T");
        const uint64_t idle = platform::GetResidentMemoryBytes();
        for (uint64_t client = 1; client <= kClients; ++client) {
            SetAndRelease(store, object, "p", std::to_string(client));
            EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST), client), 1);
        }
        return idle;
    }

    /// The memory goes back at the end of a sweep: waits for it to fall below a quarter of what
    /// the renderings took.
    void ExpectMemoryBack(uint64_t idle, uint64_t peak)
    {
        if (kFreedMemoryIsKept)
            GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
        const uint64_t bound = idle + (peak - idle) / 4;
        uint64_t after = platform::GetResidentMemoryBytes();
        for (const auto deadline = std::chrono::steady_clock::now() + kLimit;
             after >= bound && std::chrono::steady_clock::now() < deadline; after = platform::GetResidentMemoryBytes())
            std::this_thread::sleep_for(10ms);
        ASSERT_GT(peak, idle + 25 * kMiB) << "the snapshots did not take the memory they should";
        EXPECT_LT(after, bound) << "idle " << idle / kMiB << " MiB, peak " << peak / kMiB << " MiB, after "
                                << after / kMiB << " MiB";
    }
};

// Clients that asked once and went silent lose their snapshots after the limit and are
// disconnected, while a client that keeps asking is served on.
TEST_F(QV_ServerIdleSyncTest, SilentClientsLoseTheirSnapshotsAndTheMemoryGoesBack)
{
    const uint64_t idle = RenderForEveryClient();
    const uint64_t peak = platform::GetResidentMemoryBytes();
    const uint64_t pulling = kClients + 1;
    ASSERT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST), pulling), 1);

    std::vector<std::pair<uint64_t, bool>> dropped;
    for (int i = 0; i < 100 && dropped.size() < kClients; ++i) {
        EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC), pulling), 1);
        dropped = m_pNet->WaitForDisconnects(kClients, 100ms);
    }
    ASSERT_EQ(dropped.size(), kClients);
    for (const auto& [client, close] : dropped) {
        EXPECT_GE(client, 1u);
        EXPECT_LE(client, kClients);
        EXPECT_FALSE(close); // the client reads the end of its session and resynchronises
    }
    {
        CStdoutCapture capture;
        EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC), 1), 0); // its snapshot is gone
    }
    EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC), pulling), 1);
    ExpectMemoryBack(idle, peak);
}

// The same with no snapshot dropped, however slowly the renderings are made.
class QV_ServerPoolTest : public QV_ServerIdleSyncTest {
protected:
    QV_ServerPoolTest() : QV_ServerIdleSyncTest(CServerTimings().nSyncIdleLimitMs) {}
};

// All the renderings pulled to the end: their buffers come back, and the pool keeps no more of
// them than it needs.
TEST_F(QV_ServerPoolTest, AJoinStormsBuffersGoBackBeyondThePoolsLimit)
{
    const uint64_t idle = RenderForEveryClient();
    const uint64_t peak = platform::GetResidentMemoryBytes();
    for (uint64_t client = 1; client <= kClients; ++client) {
        for (std::vector<SRecordedSend> sent = m_pNet->SentTo(client);
             sent.empty() || IdOf(sent.back().bytes) != QVNET_ID_SYNC_COMPLETE; sent = m_pNet->SentTo(client))
            ASSERT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC), client), 1);
        m_pNet->ForgetSent(); // the copies of what was sent
    }
    ExpectMemoryBack(idle, peak);
}

namespace {

// Replays packets in a client process and returns its store as text.
std::string ClientStore(const std::vector<std::vector<uint8_t>>& packets)
{
    const std::vector<std::span<const uint8_t>> bytes(packets.begin(), packets.end());
    const CClientReplay replay = ReplayInClient(CLIENT_REPLAY_PATH, bytes);
    EXPECT_EQ(replay.nStatus, 0) << replay.strLog;
    return replay.strExport;
}

// Each stream packet from number `from` on, once, in order; every one was multicast twice.
std::vector<std::vector<uint8_t>> StreamFrom(const std::vector<SRecordedDatagram>& datagrams, uint64_t from)
{
    std::map<uint64_t, std::vector<const SRecordedDatagram*>> copies;
    for (const SRecordedDatagram& d : datagrams)
        if (IdOf(d.bytes) == QVNET_ID_STREAM)
            copies[SeqOf(d.bytes)].push_back(&d);
    std::vector<std::vector<uint8_t>> stream;
    for (const auto& [seq, sent] : copies) {
        EXPECT_EQ(sent.size(), 2u) << seq;
        if (seq >= from)
            stream.push_back(sent.front()->bytes);
    }
    return stream;
}

bool Contains(const std::vector<uint8_t>& packet, const std::string& text)
{
    return std::search(packet.begin(), packet.end(), text.begin(), text.end()) != packet.end();
}

} // namespace

// The client's view: the snapshot, then the stream from its number. The reference: the whole
// stream from 3, which rebuilds the server's store (the round-trip tests show that).
class QV_ServerConsistencyTest : public QV_ServerTest {
protected:
    // Syncs kClient to the end; returns the snapshot packets and sets Q.
    std::vector<std::vector<uint8_t>> Synchronise(uint64_t& q)
    {
        EXPECT_EQ(Receive(Request(QVNET_ID_SYNC_REQUEST)), 1);
        while (IdOf(m_pNet->SentTo(kClient).back().bytes) != QVNET_ID_SYNC_COMPLETE)
            EXPECT_EQ(Receive(Request(QVNET_ID_NEXT_SYNC)), 1);
        std::vector<std::vector<uint8_t>> snapshot;
        for (const SRecordedSend& s : m_pNet->SentTo(kClient))
            snapshot.push_back(s.bytes);
        q = SeqOf(snapshot.back());
        snapshot.pop_back();
        return snapshot;
    }

    void Populate()
    {
        CObjectsRepository& store = m_Server.GetRepository();
        const char* types[] = {"Bean", "Pea", "Corn"};
        for (int i = 0; i < 300; ++i)
            CreateAndRelease(store, "obj_" + std::to_string(i), types[i % 3]);
        for (uint64_t id = 1; id <= 300; id += 7)
            SetAndRelease(store, id, "Okra", std::string(id, 'v'));
    }

    void ExpectTheSameStore(const std::vector<std::vector<uint8_t>>& snapshot, uint64_t q)
    {
        ASSERT_TRUE(m_Server.GetRepository().FlushStream());
        const std::vector<SRecordedDatagram> datagrams = m_pNet->Datagrams();
        std::vector<std::vector<uint8_t>> joined = snapshot;
        for (std::vector<uint8_t>& packet : StreamFrom(datagrams, q))
            joined.push_back(std::move(packet));
        const std::string reference = ClientStore(StreamFrom(datagrams, 3));
        EXPECT_EQ(ClientStore(joined), reference);
        EXPECT_NE(reference.find("[obj_299] - [Corn]"), std::string::npos);
    }
};

TEST_F(QV_ServerConsistencyTest, PendingRecordsGoOutBelowTheSnapshotAndAreInIt)
{
    Populate();
    ASSERT_TRUE(m_Server.GetRepository().FlushStream());
    SetAndRelease(m_Server.GetRepository(), 8, "Okra", "pending change");
    CreateAndRelease(m_Server.GetRepository(), "pending_obj", "Pea");

    uint64_t q = 0;
    const std::vector<std::vector<uint8_t>> snapshot = Synchronise(q);
    const std::vector<std::vector<uint8_t>> stream = StreamFrom(m_pNet->Datagrams(), 3);
    ASSERT_EQ(SeqOf(stream.back()), q - 1);
    EXPECT_TRUE(Contains(stream.back(), "pending change"));
    EXPECT_TRUE(Contains(stream.back(), "pending_obj"));
    const std::string snapshotStore = ClientStore(snapshot);
    EXPECT_NE(snapshotStore.find("\tOkra = pending change\n"), std::string::npos) << snapshotStore;
    EXPECT_NE(snapshotStore.find("[pending_obj] - [Pea]"), std::string::npos);

    SetAndRelease(m_Server.GetRepository(), 8, "Okra", "after the snapshot");
    CreateAndRelease(m_Server.GetRepository(), "late", "Kale");
    m_Server.GetRepository().FeedCompleted(9);
    ExpectTheSameStore(snapshot, q);
}
