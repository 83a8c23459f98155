// The client core's stream logic, driven step by step on the test's thread: the test plays
// the receive thread, the connection thread and the main thread's event handlers in turn.

#include "ClientHarness.h"

#include "Subsidiary/NetErrors.h"
#include "support/ThreadState.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

using CRequests = std::vector<std::vector<uint64_t>>;

class ClientStreamTest : public ClientHarness {
protected:
    /// Events "s<n>" (stream packet n), "h<n>" (heartbeat announcing n) and "p" (purge), each
    /// followed by what the main thread does on the events it signals.
    void Play(const std::string& events)
    {
        std::istringstream in(events);
        for (std::string event; in >> event;) {
            if (event == "p")
                m_Client.PurgeAppliedPackets();
            else if (event[0] == 's')
                Udp(StreamPacket(std::stoull(event.substr(1))));
            else
                Udp(Heartbeat(std::stoull(event.substr(1))));
            ApplyAll();
            m_Client.SendRetransmitPkt();
        }
    }
};

struct SStreamCase {
    const char* name;
    uint64_t q;         ///< the snapshot's stream position
    const char* during; ///< events while the snapshot is pulled
    const char* after;  ///< events once it is complete
    const char* trace;  ///< the prints, "|" for the sync line; the first packet seen prints "<"
    uint64_t lastApplied;
    CRequests requests;
};

TEST_F(ClientStreamTest, KeepsOrdersAndRequestsStreamPackets)
{
    const SStreamCase cases[] = {
        {"duplicate copies change nothing", 10, "", "s10 s10 s11 s11", "|<.:.:", 11, {}},
        {"a late lower number is applied in order", 10, "", "s10 s12 s11", "|<.<..", 12, {}},
        {"three ahead is reordering, four is a gap", 12, "", "s13 s14 s15", "|<x", 11, {{12}}},
        {"a gap far ahead is requested at once", 10, "", "s10 s11 s20", "|<..xxxxxx", 11, {{12, 13, 14, 15, 16, 17}}},
        {"the heartbeat finds the packets lost at the tail", 10, "", "s10 s11 h14 s12 s13", "|<..oxx..", 13, {{12, 13}}},
        {"an idle stream's heartbeats find nothing", 10, "h10", "h10 s10 h11 h11", "o|o<.oo", 10, {}},
        {"a heartbeat seen first finds the packets lost after the snapshot", 10, "", "h11 h11 s10", "|oxo<.", 10,
         {{10}}},
        {"the first packet lost is repaired", 10, "s11 s12 s13", "s10", "<x|<....", 13, {{10}}},
        {"packets kept during the snapshot apply from Q on", 12, "s10 s11 s12 s13", "", "<|..", 13, {}},
        {"a copy that comes after the purge is ignored", 10, "", "s10 s11 s12 p s10 s12", "|<...:", 12, {}},
    };
    for (const SStreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t shown = Output().size();
        const size_t requested = m_pConnection->Requests().size();
        BeginSnapshot(c.q);
        Play(c.during);
        CompleteSnapshot(c.q);
        Play(c.after);

        EXPECT_EQ(Trace(Output().substr(shown)), c.trace);
        EXPECT_EQ(m_Client.GetState(), CS_SYNCHRONISED);
        EXPECT_EQ(m_Client.GetStreamCounters().nLastApplied, c.lastApplied);
        const CRequests requests = m_pConnection->Requests();
        EXPECT_EQ(CRequests(requests.begin() + static_cast<ptrdiff_t>(requested), requests.end()), c.requests);
        // The base object and one object per stream packet applied: none below Q, none twice.
        EXPECT_EQ(m_Client.GetRepository().GetObjectCount(), 1 + c.lastApplied - (c.q - 1));
    }
}

TEST_F(ClientStreamTest, AsksForAMissingPacketSevenTimesAtMost)
{
    BeginSnapshot(10);
    CompleteSnapshot(10);
    Play("s10 s14");
    ASSERT_EQ(m_pConnection->Requests(), CRequests{{11}});

    std::vector<uint64_t> times{m_nNow};
    for (int step = 0; step < 60 && m_Client.GetState() == CS_SYNCHRONISED; ++step) {
        m_nNow += 50;
        m_Client.SendRetransmitPkt();
        if (m_pConnection->Requests().size() > times.size())
            times.push_back(m_nNow);
    }
    EXPECT_EQ(m_pConnection->Requests(), CRequests(7, {11}));
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_GT(times[i] - times[i - 1], 250u);
    EXPECT_TRUE(Logged("CQV_Client::SendRetransmitPkt : ERR : Network quality too poor to operate! "
                       "Restarting connections 2!"));
    EXPECT_EQ(m_Client.GetState(), CS_RESTARTING);
}

struct SGapCase {
    uint64_t seq;  ///< arrives right after packet 10 was applied
    uint64_t then; ///< another packet in the same datagram, or 0
    size_t missing;
    bool restart;
};

TEST_F(ClientStreamTest, GapsTooWideToRepairRestartAndStayBounded)
{
    const SGapCase cases[] = {
        {263, 0, 250, false}, {264, 0, 251, true}, {1000000000, 0, 251, true}, {264, 300, 251, true}};
    for (const SGapCase& c : cases) {
        SCOPED_TRACE(c.seq);
        const size_t shown = Output().size();
        const size_t requested = m_pConnection->Requests().size();
        BeginSnapshot(10);
        CompleteSnapshot(10);
        Play("s10");
        Udp(c.then == 0 ? StreamPacket(c.seq) : StreamPacket(c.seq) + StreamPacket(c.then));
        EXPECT_EQ(m_Client.GetStreamCounters().nMissing, c.missing);
        EXPECT_EQ(std::ranges::count(Trace(Output().substr(shown)), 'x'), static_cast<ptrdiff_t>(c.missing));
        m_Client.SendRetransmitPkt();

        const CRequests requests = m_pConnection->Requests();
        const bool restarted = Output().find("Network quality too poor to operate! Restarting connections 1!", shown) !=
                               std::string::npos;
        EXPECT_EQ(restarted, c.restart);
        EXPECT_EQ(m_Client.GetState(), c.restart ? CS_RESTARTING : CS_SYNCHRONISED);
        if (c.restart) {
            EXPECT_EQ(requests.size(), requested);
        } else {
            ASSERT_EQ(requests.size(), requested + 1);
            std::vector<uint64_t> expected(250);
            std::ranges::generate(expected, [n = uint64_t{11}]() mutable { return n++; });
            EXPECT_EQ(requests.back(), expected);
        }
        m_Client.RestartConnections();
    }
}

// The scan that finds more than 250 numbers missing cannot have recorded them all; when
// repairs bring the count down before the requests go out, what it never reached must not be
// forgotten.
TEST_F(ClientStreamTest, AScanThatFindsTooManyMissingRestartsAtOnce)
{
    BeginSnapshot(10);
    CompleteSnapshot(10);
    Play("s10 s15");
    ASSERT_EQ(m_pConnection->Requests(), (CRequests{{11, 12}}));
    // One wake-up of the receive thread: the wide gap, then the repairs asked for before it.
    for (uint64_t seq : {300, 11, 12})
        Udp(StreamPacket(seq));
    ApplyAll();
    m_Client.SendRetransmitPkt();
    for (uint64_t seq = 49; seq < 300; ++seq)
        Play("s" + std::to_string(seq));
    Play("h301");

    std::set<uint64_t> requested;
    for (const std::vector<uint64_t>& request : m_pConnection->Requests())
        requested.insert(request.begin(), request.end());
    const bool restarted = m_Client.GetState() == CS_RESTARTING &&
                           Logged("CQV_Client::SendRetransmitPkt : ERR : Network quality too poor to operate! "
                                  "Restarting connections 1!");
    EXPECT_TRUE(restarted || (requested.contains(13) && requested.contains(48)))
        << "synchronised at " << m_Client.GetStreamCounters().nLastApplied << " with "
        << m_Client.GetStreamCounters().nPending << " packets kept";
}

// A save from the console holds the replica's lock for as long as it writes.
TEST_F(ClientStreamTest, TheSyncCompletingDuringASaveDoesNotHoldUpTheReceiveThread)
{
    BeginSnapshot(10);
    CAutoMutex& replica = m_Client.GetRepository().GetObjectsLock();
    replica.Lock();
    std::atomic<ThreadNumber> connectionThread{0};
    std::thread connection([&] {
        connectionThread = CurrentTid();
        Tcp(SeqPacket(QVNET_ID_SYNC_COMPLETE, 10));
    });
    while (connectionThread == 0)
        std::this_thread::yield();
    EXPECT_TRUE(WaitUntilAsleep(connectionThread, 5s));
    auto received = std::async(std::launch::async, [this] { Udp(StreamPacket(10)); });
    EXPECT_EQ(received.wait_for(5s), std::future_status::ready);
    replica.Unlock();
    connection.join();
    received.get();
    ApplyAll();
    EXPECT_EQ(m_Client.GetState(), CS_SYNCHRONISED);
    EXPECT_EQ(m_Client.GetStreamCounters().nLastApplied, 10u);
}

struct SMalformedCase {
    const char* name;
    bool tcp;
    CBytes bytes;
    std::string line;
    bool asksNext; ///< a refused snapshot packet still asks for the next one
};

CBytes WithLength(CBytes packet, uint32_t length)
{
    QVNET_PktHeader::Write(packet.data(), packet[0], length);
    return packet;
}

TEST_F(ClientStreamTest, MalformedPacketsAreRefusedWithTheirLineAndRestart)
{
    const std::string udp = "CQV_Client::OnUDPPktReceived : ERR : ";
    const std::string single = "CQV_Client::OnUDPSinglePktReceived : ERR : ";
    const std::string tcp = "CQV_Client::OnReceivePkt : ERR : ";
    const std::string feed = "FeedData : ERR : ";
    const CBytes stream = SeqPacket(QVNET_ID_STREAM, 11);
    const SMalformedCase cases[] = {
        {"length above 4096", false, WithLength(stream, 5000), udp + "Server send too big UDP packet 13!", false},
        {"length 0", false, WithLength(stream, 0), udp + "Server send odd UDP packets 13!", false},
        {"length below 13", false, WithLength(stream, 5), udp + "Server send odd UDP packets 13!", false},
        {"length past the datagram", false, WithLength(stream, 14), udp + "Server send odd UDP packets 13!", false},
        {"remainder shorter than a header", false, Heartbeat(11) + CBytes{1, 0, 0},
         udp + "Server send odd UDP packets 16!", false},
        {"heartbeat of 14 bytes", false, SeqPacket(QVNET_ID_HEARTBEAT, 11, {0}), single + "Bad heartbeat packet size!",
         false},
        {"unknown id", false, SeqPacket(9, 11), single + "Unknown packet type received type : 9!", false},
        {"stream packet without records", false, stream, feed + "Bad stream packet size!", false},
        {"stream packet with a bad record", false, SeqPacket(QVNET_ID_STREAM, 11, {0x00}), feed + "Bad token!", false},
        {"payload shorter than a header", true, {QVNET_ID_STREAM, 4, 0, 0},
         tcp + "Server send packet smaller than header!", false},
        {"snapshot packet of 12 bytes", true, CBytes(stream.begin(), stream.end() - 1),
         tcp + "Bad size of QVNET_StreamHeader pkt!", false},
        {"sync complete of 14 bytes", true, SeqPacket(QVNET_ID_SYNC_COMPLETE, 10, {0}),
         tcp + "Bad size of sync complete pkt!", false},
        {"heartbeat over TCP", true, Heartbeat(10), tcp + "Server send unknown packet type!", false},
        {"snapshot packet at position 0", true, SeqPacket(QVNET_ID_STREAM, 0, CRecordBodyBuilder().TypeDef(2, "P").Bytes()),
         tcp + "Server send bad snapshot position!", false},
        {"sync complete at position 2", true, SeqPacket(QVNET_ID_SYNC_COMPLETE, 2),
         tcp + "Server send bad snapshot position!", false},
        {"snapshot packet with a bad record", true, SeqPacket(QVNET_ID_STREAM, 10, {0x00}), feed + "Bad token!", true},
    };
    for (const SMalformedCase& c : cases) {
        SCOPED_TRACE(c.name);
        BeginSnapshot(10);
        CompleteSnapshot(10);
        Play("s10");
        const size_t shown = Output().size();
        const size_t sent = m_pConnection->Sent().size();
        if (c.tcp)
            Tcp(c.bytes);
        else
            Udp(c.bytes);
        ApplyAll();

        EXPECT_NE(Output().find(c.line + "\r\n", shown), std::string::npos) << Output().substr(shown);
        EXPECT_EQ(m_Client.GetState(), CS_RESTARTING);
        const std::vector<CBytes> after = m_pConnection->Sent();
        EXPECT_EQ(after.size() > sent && after.back()[0] == QVNET_ID_NEXT_SYNC, c.asksNext);
        m_Client.RestartConnections();
    }
}

TEST_F(ClientStreamTest, OnlyASessionLetsPacketsInAndARestartEndsItOnce)
{
    Udp(StreamPacket(10));
    Tcp(SeqPacket(QVNET_ID_STREAM, 10, CRecordBodyBuilder().TypeDef(1, "Bean").Bytes()));
    EXPECT_EQ(m_Client.GetStreamCounters().nPending, 0u);
    EXPECT_TRUE(m_pConnection->Sent().empty());

    BeginSnapshot(10);
    Udp(StreamPacket(10));
    EXPECT_EQ(m_Client.GetStreamCounters().nPending, 1u);
    EXPECT_FALSE(m_Client.ApplyNextPacket());

    m_Client.RequestRestart();
    m_Client.RequestRestart();
    EXPECT_EQ(m_Client.GetState(), CS_RESTARTING);
    Udp(StreamPacket(11));
    Tcp(SeqPacket(QVNET_ID_SYNC_COMPLETE, 10));
    EXPECT_EQ(m_Client.GetStreamCounters().nPending, 1u);
    EXPECT_EQ(m_Client.GetState(), CS_RESTARTING);

    m_Client.RestartConnections();
    m_Client.RestartConnections();
    ASSERT_EQ(m_pConnection->Disconnects().size(), 1u);
    EXPECT_TRUE(m_pConnection->Disconnects()[0].bNotify);
    EXPECT_FALSE(m_pConnection->Disconnects()[0].bImmediate);
    EXPECT_EQ(m_Client.GetState(), CS_NOT_CONNECTED);
    EXPECT_EQ(m_Client.GetStreamCounters().nPending, 0u);
    EXPECT_TRUE(Logged("CQV_Client::OnDisconnected : TCP Disconnected!"));
}

TEST_F(ClientStreamTest, AFailedDisconnectIsRetriedBeforeTheNextConnect)
{
    BeginSnapshot(10);
    m_pConnection->SetDisconnectResult(EIOCPE_NO_MEM);
    m_Client.RequestRestart();
    m_Client.RestartConnections();
    EXPECT_TRUE(Logged(std::string("CQV_Client::RestartConnections : ERR : Disconnect failed : ") +
                       GetErrorText(EIOCPE_NO_MEM)));
    EXPECT_EQ(m_Client.GetState(), CS_RESTARTING);

    m_pConnection->SetDisconnectResult(0);
    m_Client.OnConnectTimer();
    EXPECT_EQ(m_pConnection->Disconnects().size(), 2u);
    EXPECT_EQ(m_Client.GetState(), CS_NOT_CONNECTED);
    EXPECT_TRUE(m_pConnection->Connects().empty());
    m_Client.OnConnectTimer();
    EXPECT_EQ(m_pConnection->Connects(), std::vector<std::string>{"127.0.0.1:6666/0"});
}

TEST_F(ClientStreamTest, BufferPoolStaysBoundedUnderALongStream)
{
    BeginSnapshot(10);
    CompleteSnapshot(10);
    size_t most = 0;
    for (uint64_t seq = 10; seq < 5010; ++seq) {
        Udp(StreamPacket(seq));
        Udp(StreamPacket(seq));
        ApplyAll();
        if (seq % 100 == 0)
            m_Client.PurgeAppliedPackets();
        const auto counters = m_Client.GetStreamCounters();
        most = std::max(most, counters.nPending + counters.nFreeBuffers);
    }
    EXPECT_EQ(m_Client.GetStreamCounters().nLastApplied, 5009u);
    EXPECT_LE(most, 102u);
}

TEST_F(ClientStreamTest, ASilentSynchronisedStreamRestarts)
{
    BeginSnapshot(10);
    m_nNow += 60000;
    m_Client.CheckStreamStall();
    CompleteSnapshot(10);
    m_nNow += 4999;
    m_Client.CheckStreamStall();
    Udp(Heartbeat(10));
    m_nNow += 4999;
    m_Client.CheckStreamStall();
    EXPECT_EQ(m_Client.GetState(), CS_SYNCHRONISED);
    m_nNow += 1;
    m_Client.CheckStreamStall();
    EXPECT_TRUE(Logged("CQV_Client::DoRun : ERR : No data from server for 5000 ms! Restarting connections 3!"));
    EXPECT_EQ(m_Client.GetState(), CS_RESTARTING);
}

} // namespace
