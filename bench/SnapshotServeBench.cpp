// Serving a joining client's snapshot from a running QV_Server: a stand-in client pulls the
// whole snapshot of the fed store (80,000 objects, about 30,000 of them with 3 properties),
// one next-sync per packet, while the feed runs. Baseline in the same run: rendering a store
// of the same shape in this process plus a plain blocking TCP ping-pong of as many 23-byte
// requests and 4106-byte answers. Also the longest gap in the multicast stream meanwhile.
// Run inside the test namespace: scripts/netns-run build/bench/snapshot_serve_bench

#include "bench/PlainPingPong.h"
#include "bench/StreamGap.h"
#include "bench/store/BenchStreamCore.h"
#include "bench/store/BenchTimer.h"
#include "platform/BrokenPipe.h"
#include "server/DataFeed.h"
#include "store/server/ObjectsRepository.h"
#include "support/MulticastListener.h"
#include "support/ProgramRun.h"
#include "support/ServerProgram.h"
#include "support/SyncClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int kBursts = 100; // about 3 changes for each of the 32,767 objects the feed picks
constexpr int kRounds = 5;
constexpr auto kLimit = 60s;

class CBenchFeed : public CDataFeed {
public:
    using CDataFeed::CDataFeed;
    using CDataFeed::FeedInitialData;
    using CDataFeed::FeedSomeData;
};

using Clock = std::chrono::steady_clock;

// The baseline's first half: a store of the same kind rendered here, with the server's locks,
// fed until its snapshot is as large as the server's.
double RenderBaseline(size_t serverPackets, size_t& packets)
{
    CBenchStreamCore core;
    CObjectsRepository repository(core);
    CBenchFeed feed(repository);
    feed.FeedInitialData();
    for (int burst = 0; burst < kBursts; ++burst)
        feed.FeedSomeData();
    std::vector<double> times;
    for (;;) {
        CSyncEntry entry;
        CAutoLock objects(repository.GetObjectsLock());
        CAutoLock packetsLock(core.GetPacketsLock());
        const double ms = TimeMs([&] { repository.GenerateSyncSnapshot(entry); });
        packets = entry.m_lstPackets.size();
        if (packets < serverPackets) {
            feed.FeedSomeData();
            continue;
        }
        times.push_back(ms);
        if (times.size() == kRounds)
            return Median(times);
    }
}

int RunBench()
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CMulticastListener listener(endpoint.nPort, endpoint.strGroup);
    CProgramRun server(QV_SERVER_PATH, ServerSettingsText(endpoint));
    if (!StartFeedAndPopulate(server, kLimit))
        return 1;
    std::this_thread::sleep_for(kBursts * 110ms); // the feed's bursts shape the store

    CSyncClient client(endpoint.nPort);
    std::vector<std::vector<uint8_t>> packets;
    uint64_t seq = 0;
    std::vector<double> times, gaps, quietGaps;
    for (int round = 0; round < kRounds; ++round) {
        const Clock::time_point start = Clock::now();
        if (!client.Synchronise(packets, seq)) {
            std::printf("the sync broke off:\n%s", server.Output().c_str());
            return 1;
        }
        const Clock::time_point end = Clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        std::this_thread::sleep_for(end - start + 400ms); // the same span without a sync follows
        const std::vector<SHeardDatagram> heard = listener.Heard();
        gaps.push_back(LongestStreamGapMs(heard, start, end));
        quietGaps.push_back(LongestStreamGapMs(heard, end + 300ms, end + 300ms + (end - start)));
    }
    server.Keys("0q");
    server.WaitFor("Any key to exit.", kLimit);
    server.Keys("z");
    server.WaitForExit(kLimit);

    size_t baselinePackets = 0;
    const double renderMs = RenderBaseline(packets.size(), baselinePackets);
    const double pingPongMs = PlainPingPong(packets.size()).exchangeMs;
    const double subjectMs = Median(times);
    const double baselineMs = renderMs + pingPongMs;
    std::printf("snapshot of the running server: %zu packets (this process's store of the same shape: %zu)\n",
                packets.size(), baselinePackets);
    std::printf("%-44s %9.2f ms  %8.0f packets/s\n", "served, one next-sync per packet (median)", subjectMs,
                1000.0 * static_cast<double>(packets.size()) / subjectMs);
    std::printf("%-44s %9.2f ms  = render %.2f ms + ping-pong %.2f ms\n", "baseline", baselineMs, renderMs,
                pingPongMs);
    std::printf("%-44s %9.2f      target at most 1.5  %s\n", "ratio served / baseline", subjectMs / baselineMs,
                subjectMs <= 1.5 * baselineMs ? "ok" : "OVER");
    std::printf("%-44s %9.2f ms  (the same span without a sync: %.2f ms)\n",
                "longest stream gap while serving (median)", Median(gaps), Median(quietGaps));
    return 0;
}

} // namespace

int main()
{
    platform::IgnoreBrokenPipe(); // a server that died must not end the benchmark at its next key
    return RunBench();
}
