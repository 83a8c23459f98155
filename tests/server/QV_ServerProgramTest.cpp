// The QV_Server program as an operator runs it: copied beside its own settings, keys through a
// pipe, its console output read back.

#include "net/common/QVNET_SeqPkt.h"
#include "store/client/ObjectsRepository.h"
#include "support/MulticastListener.h"
#include "support/PlainSocket.h"
#include "support/ProgramRun.h"
#include "support/SyncClient.h"
#include "support/ServerProgram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 20s;
const std::string kHelp =
    "Key '1' start feed\nKey '0' stop feed\nKey 'd' dump statistics\nKey '?' this help\nKey 'q' to exit...\n";
const std::string kStarted = "] CQV_Server::StartModules() : Network server started!\r\n";

// "Server stopped." and later (after the store's cleanup lines) "Any key to exit.".
bool StoppedInOrder(const std::string& output)
{
    const size_t stopped = output.find("Server stopped.\n");
    return stopped != std::string::npos && output.find("Any key to exit.\n", stopped) != std::string::npos;
}

// 'q', then the last key: the program ends with 0 having said so.
void Quit(CProgramRun& run)
{
    run.Keys("q");
    ASSERT_TRUE(run.WaitFor("Any key to exit.\n", kLimit)) << run.Output();
    EXPECT_TRUE(StoppedInOrder(run.Output())) << run.Output();
    EXPECT_FALSE(run.Exited());
    run.Keys("z");
    ASSERT_TRUE(run.WaitForExit(kLimit));
    EXPECT_EQ(run.ExitCode(), 0) << run.Output();
}

} // namespace

TEST(QV_ServerProgramTest, TheConsoleServesItsKeys)
{
    CProgramRun run(QV_SERVER_PATH, ServerSettingsText(NextTestEndpoint()));
    ASSERT_TRUE(run.WaitFor("Server initialized!\n" + kHelp, kLimit)) << run.Output();
    ASSERT_TRUE(run.WaitFor(kStarted, kLimit)) << run.Output();
    run.Keys("d");
    ASSERT_TRUE(run.WaitFor("TODO\r\n", kLimit));
    run.Keys("Qx?"); // the first two are no keys of the server's
    ASSERT_TRUE(run.WaitFor(kHelp, kLimit, 2)) << run.Output();
    const std::string output = run.Output();
    EXPECT_EQ(output.substr(output.find("TODO\r\n")), "TODO\r\n" + kHelp);
    Quit(run);
}

TEST(QV_ServerProgramTest, WithoutSettingsItEndsWith1BeforeStarting)
{
    CProgramRun run(QV_SERVER_PATH, "", false);
    ASSERT_TRUE(run.WaitForExit(kLimit));
    EXPECT_EQ(run.ExitCode(), 1);
    EXPECT_NE(run.Output().find("Unable to open settings file : "), std::string::npos) << run.Output();
    EXPECT_EQ(run.Output().find("Server initialized!"), std::string::npos);
}

// A signal stands for 'q', and for the last key; an input that has ended keeps the server up.
TEST(QV_ServerProgramTest, TerminationSignalsShutItDownAsQDoes)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        CProgramRun run(QV_SERVER_PATH, ServerSettingsText(NextTestEndpoint()));
        ASSERT_TRUE(run.WaitFor(kStarted, kLimit)) << run.Output();
        if (signal == SIGTERM) {
            run.CloseInput();
            std::this_thread::sleep_for(500ms);
            EXPECT_FALSE(run.Exited()) << run.Output();
        }
        run.Signal(signal);
        ASSERT_TRUE(run.WaitForExit(kLimit)) << signal;
        EXPECT_EQ(run.ExitCode(), 0) << signal;
        EXPECT_TRUE(StoppedInOrder(run.Output())) << run.Output();
    }
}

TEST(QV_ServerProgramTest, APortInUseLeavesTheConsoleRunning)
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CPlainSocket holder(SystemSocket(AF_INET, SOCK_STREAM));
    const sockaddr_in at = CPlainSocket::Loopback(endpoint.nPort);
    ASSERT_EQ(bind(holder.Fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(holder.Fd(), 1), 0);

    CProgramRun run(QV_SERVER_PATH, ServerSettingsText(endpoint));
    ASSERT_TRUE(run.WaitFor("] CQV_Server::StartModules() : ERR : Unable to start TCP server : ", kLimit))
        << run.Output();
    run.Keys("?1");
    ASSERT_TRUE(run.WaitFor(kHelp, kLimit, 2)) << run.Output();
    ASSERT_TRUE(run.WaitFor("Feed 0 started!", kLimit)) << run.Output();
    std::this_thread::sleep_for(300ms); // a few bursts
    run.Keys("q");
    ASSERT_TRUE(run.WaitFor("Any key to exit.\n", kLimit)) << run.Output();
    run.Keys("z");
    ASSERT_TRUE(run.WaitForExit(kLimit));
    EXPECT_EQ(run.ExitCode(), 0) << run.Output();
    const std::string output = run.Output();
    EXPECT_EQ(output.find("Server stopped."), std::string::npos); // the main thread never ran
    EXPECT_NE(output.find("] CDataFeed::DoRun() : Feed 0 completed"), std::string::npos) << output;
    EXPECT_EQ(output.find("No such object!"), std::string::npos) << output;
}

namespace {

uint8_t IdOf(const SHeardDatagram& d)
{
    return d.bytes.empty() ? 0 : d.bytes[0];
}

uint64_t SeqOf(const SHeardDatagram& d)
{
    return d.bytes.size() >= QVNET_StreamHeader::kSize ? QVNET_StreamHeader::ReadSeq(d.bytes.data()) : 0;
}

void Apply(CObjectsRepository& store, const std::vector<uint8_t>& packet)
{
    store.ApplyRecords(packet.data() + QVNET_StreamHeader::kSize,
                       static_cast<uint32_t>(packet.size()) - QVNET_StreamHeader::kSize);
}

// Waits up to kLimit until the listener has heard `count` datagrams that match.
template <class Predicate>
bool WaitToHear(CMulticastListener& listener, size_t count, Predicate matches)
{
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    for (;;) {
        const std::vector<SHeardDatagram> heard = listener.Heard();
        if (static_cast<size_t>(std::count_if(heard.begin(), heard.end(), matches)) >= count)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}

} // namespace

// A client joins an empty server, then one with the fed store, and continues with the stream
// from its snapshot's number; the idle stream carries heartbeats.
TEST(QV_ServerProgramTest, AClientSynchronisesAndFollowsTheStream)
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CMulticastListener listener(endpoint.nPort, endpoint.strGroup);
    ASSERT_TRUE(listener.Joined());
    CProgramRun run(QV_SERVER_PATH, ServerSettingsText(endpoint));
    ASSERT_TRUE(run.WaitFor(kStarted, kLimit)) << run.Output();

    CSyncClient client(endpoint.nPort);
    ASSERT_TRUE(client.Valid()) << run.Output();
    EXPECT_TRUE(run.WaitFor("] CQV_Server::OnClientConnected : Client connected : ", kLimit));
    std::vector<std::vector<uint8_t>> snapshot;
    uint64_t q = 0;
    ASSERT_TRUE(client.Synchronise(snapshot, q));
    EXPECT_TRUE(snapshot.empty());
    EXPECT_EQ(q, 3u);

    run.Keys("1");
    ASSERT_TRUE(run.WaitFor("] CDataFeed::FeedSomeData() : Done - 80000 objs in ", kLimit)) << run.Output();
    ASSERT_TRUE(client.Synchronise(snapshot, q)) << run.Output();
    CObjectsRepository store;
    for (const std::vector<uint8_t>& packet : snapshot) {
        ASSERT_EQ(packet[0], QVNET_ID_STREAM);
        ASSERT_EQ(QVNET_StreamHeader::ReadSeq(packet.data()), q);
        Apply(store, packet);
    }
    EXPECT_EQ(store.GetObjectCount(), 80000u);

    // The stream from Q goes on where the snapshot ended, each packet twice.
    constexpr uint64_t kFollowed = 20;
    ASSERT_TRUE(WaitToHear(listener, 1, [q](const SHeardDatagram& d) {
        return IdOf(d) == QVNET_ID_STREAM && SeqOf(d) >= q + kFollowed;
    }));
    std::map<uint64_t, std::vector<SHeardDatagram>> copies;
    for (SHeardDatagram& d : listener.Heard())
        if (IdOf(d) == QVNET_ID_STREAM && SeqOf(d) >= q && SeqOf(d) < q + kFollowed)
            copies[SeqOf(d)].push_back(std::move(d));
    ASSERT_EQ(copies.size(), kFollowed);
    for (const auto& [seq, sent] : copies) {
        ASSERT_EQ(sent.size(), 2u) << seq;
        EXPECT_EQ(sent[0].bytes, sent[1].bytes) << seq;
        EXPECT_NO_THROW(Apply(store, sent[0].bytes)) << seq;
    }

    // Once the feed has stopped, heartbeats carry the next number about every 250 ms.
    run.Keys("0");
    ASSERT_TRUE(run.WaitFor("] CDataFeed::DoRun() : Feed 0 completed [Obj cnt:80000]", kLimit)) << run.Output();
    const size_t before = listener.Heard().size();
    ASSERT_TRUE(WaitToHear(listener, before + 16, [](const SHeardDatagram&) { return true; }));
    std::vector<SHeardDatagram> heard = listener.Heard();
    const auto lastPacket = std::find_if(heard.rbegin(), heard.rend(),
                                         [](const SHeardDatagram& d) { return IdOf(d) == QVNET_ID_STREAM; });
    ASSERT_NE(lastPacket, heard.rend());
    const uint64_t next = SeqOf(*lastPacket) + 1;
    std::vector<std::chrono::steady_clock::time_point> beats;
    for (auto d = lastPacket.base(); d != heard.end(); ++d) {
        if (IdOf(*d) != QVNET_ID_HEARTBEAT)
            continue;
        EXPECT_EQ(SeqOf(*d), next);
        if (beats.empty() || d->at - beats.back() > 100ms) // the second copy follows at once
            beats.push_back(d->at);
    }
    std::vector<std::chrono::milliseconds> gaps;
    for (size_t i = 1; i < beats.size(); ++i)
        gaps.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(beats[i] - beats[i - 1]));
    ASSERT_GE(gaps.size(), 4u);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], 200ms);
    EXPECT_LE(gaps[gaps.size() / 2], 500ms);

    // 'q' with the feed running: the feed's summary comes before the server stops.
    run.Keys("1");
    ASSERT_TRUE(run.WaitFor("Feed 1 started!", kLimit)) << run.Output();
    Quit(run);
    const std::string output = run.Output();
    const size_t summary = output.find("] CDataFeed::DoRun() : Feed 1 completed");
    ASSERT_NE(summary, std::string::npos) << output;
    EXPECT_LT(summary, output.find("Server stopped."));
    EXPECT_TRUE(client.Connection().ExpectEndOfStream());
}
