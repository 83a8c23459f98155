// A join storm on a running QV_Server holding the fed store (80,000 objects, about 30,000 of
// them with 3 properties) while its feed goes on: 50 clients connect at once, as after a server
// restart or an abandoned stream, and each pulls its snapshot as QV_Client does, asking for the
// next packet as soon as one has come. The clients are threads of this process that apply
// nothing: a joining client applies on its own machine, and 50 stores applied on this one
// would measure this machine rather than the server.
// Figures: the time until the last of the 50 is synchronised against one client alone in the
// same run (target at most 5 times); the longest gap between stream datagrams during the storm
// against the same span right after it (target at most 2 times); the server's resident memory
// at the storm's peak against before it. Medians of 3 storms and of 5 lone clients.
// Run inside the test namespace: scripts/netns-run build/bench/join_storm_bench

#include "bench/StreamGap.h"
#include "bench/store/BenchTimer.h"
#include "platform/BrokenPipe.h"
#include "support/MulticastListener.h"
#include "support/ProcessResident.h"
#include "support/ProgramRun.h"
#include "support/ServerProgram.h"
#include "support/SyncClient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kStormClients = 50;
constexpr int kStorms = 3;
constexpr int kLoneRounds = 5;
constexpr auto kFeedTime = 11s; // about 100 bursts: 3 changes for each of the 32,767 objects the feed picks
constexpr auto kLimit = 60s;

struct SStorm {
    Clock::time_point start, end;
    size_t synchronised = 0;
    double peakMiB = 0;
};

// `clients` threads connect at the same moment and pull their snapshots; the server's resident
// memory is sampled meanwhile.
SStorm Storm(uint16_t port, size_t clients, pid_t server)
{
    std::mutex mutex;
    std::condition_variable go;
    bool started = false;
    std::atomic<size_t> synchronised{0};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            {
                std::unique_lock lock(mutex);
                go.wait(lock, [&] { return started; });
            }
            CSyncClient client(port);
            std::vector<std::vector<uint8_t>> packets;
            uint64_t seq = 0;
            if (client.Valid() && client.Synchronise(packets, seq))
                ++synchronised;
        });
    }
    SStorm storm;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            storm.peakMiB = std::max(storm.peakMiB, ResidentMiB(server));
            std::this_thread::sleep_for(2ms);
        }
    });
    {
        std::lock_guard lock(mutex);
        started = true;
        storm.start = Clock::now();
    }
    go.notify_all();
    for (std::thread& thread : threads)
        thread.join();
    storm.end = Clock::now();
    sampling = false;
    sampler.join();
    storm.synchronised = synchronised;
    return storm;
}

double Ms(Clock::duration span)
{
    return std::chrono::duration<double, std::milli>(span).count();
}

int RunBench()
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CMulticastListener listener(endpoint.nPort, endpoint.strGroup);
    CProgramRun server(QV_SERVER_PATH, ServerSettingsText(endpoint, static_cast<int>(kStormClients + 10)));
    if (!StartFeedAndPopulate(server, kLimit))
        return 1;
    std::this_thread::sleep_for(kFeedTime);

    std::vector<double> lone, storms, gaps, quietGaps, peaks, before;
    for (int round = 0; round < kLoneRounds; ++round) {
        const SStorm alone = Storm(endpoint.nPort, 1, server.Pid());
        if (alone.synchronised != 1) {
            std::printf("a lone client did not synchronise:\n%s", server.Output().c_str());
            return 1;
        }
        lone.push_back(Ms(alone.end - alone.start));
    }
    for (int round = 0; round < kStorms; ++round) {
        before.push_back(ResidentMiB(server.Pid()));
        const SStorm storm = Storm(endpoint.nPort, kStormClients, server.Pid());
        if (storm.synchronised != kStormClients) {
            std::printf("%zu of %zu clients synchronised:\n%s", storm.synchronised, kStormClients,
                        server.Output().c_str());
            return 1;
        }
        const Clock::duration span = storm.end - storm.start;
        std::this_thread::sleep_for(span + 400ms); // the same span without a storm follows
        const std::vector<SHeardDatagram> heard = listener.Heard();
        storms.push_back(Ms(span));
        gaps.push_back(LongestStreamGapMs(heard, storm.start, storm.end));
        quietGaps.push_back(LongestStreamGapMs(heard, storm.end + 300ms, storm.end + 300ms + span));
        peaks.push_back(storm.peakMiB);
        std::printf("storm %d: last of %zu synchronised after %7.1f ms, longest stream gap %6.1f ms (quiet %6.1f ms), "
                    "server %6.1f MiB at the peak\n",
                    round + 1, kStormClients, storms.back(), gaps.back(), quietGaps.back(), peaks.back());
    }
    server.Keys("0q");
    server.WaitFor("Any key to exit.", kLimit);
    server.Keys("z");
    server.WaitForExit(kLimit);

    const double loneMs = Median(lone), stormMs = Median(storms), gapMs = Median(gaps), quietMs = Median(quietGaps);
    std::printf("%-44s %9.2f ms  one client alone %8.2f ms  x%5.1f  target at most 5  %s\n",
                "last of 50 synchronised (median of 3)", stormMs, loneMs, stormMs / loneMs,
                stormMs <= 5 * loneMs ? "ok" : "OVER");
    std::printf("%-44s %9.2f ms  without a storm %8.2f ms  x%5.1f  target at most 2  %s\n",
                "longest stream gap in the storm (median)", gapMs, quietMs, gapMs / quietMs,
                gapMs <= 2 * quietMs ? "ok" : "OVER");
    std::printf("%-44s %9.1f MiB  before the storm %6.1f MiB\n", "server resident memory at the peak (median)",
                Median(peaks), Median(before));
    return 0;
}

} // namespace

int main()
{
    platform::IgnoreBrokenPipe(); // a server that died must not end the benchmark at its next key
    return RunBench();
}
