// Time for a joining QV_Client to be synchronised with a running QV_Server that holds the fed
// store (80,000 objects, about 30,000 of them with 3 properties), its feed stopped: from
// starting the program to its "Sync complete" line. The stream is idle then, so that is also
// the moment the client has applied everything up to the newest heartbeat.
// Baseline in the same run: what the wire alone costs, a plain TCP connect and a ping-pong of
// as many 23-byte requests and 4106-byte answers as the snapshot has packets, nothing rendered
// and nothing applied. The parts are printed beside it: the client's start and connection (its
// program start to its "TCP Connected!" line), the server's rendering (its own log line), the
// transfer (the ping-pong) and the application of the same snapshot to a fresh client store in
// this process. Median of 5 of each; target at most 1.5 times the baseline.
// Run inside the test namespace: scripts/netns-run build/bench/client_sync_bench

#include "bench/PlainPingPong.h"
#include "bench/store/BenchTimer.h"
#include "platform/BrokenPipe.h"
#include "store/client/ObjectsRepository.h"
#include "support/ClientProgram.h"
#include "support/ProgramRun.h"
#include "support/ServerProgram.h"
#include "support/SyncClient.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int kRounds = 5;
constexpr auto kFeedTime = 11s; // about 100 bursts: 3 changes for each of the 32,767 objects the feed picks
constexpr auto kLimit = 60s;
const std::string kSynced = "Sync complete - objs : 80000!";

// The time of day of the log line that holds `text`, in ms; none without one. The log stamps
// every line "[YYYY/MM/DD HH:MM:SS.mmm] ".
std::optional<double> LineTimeMs(const std::string& output, const std::string& text)
{
    const size_t at = output.rfind(text);
    const size_t line = at == std::string::npos ? at : output.rfind('[', at);
    if (line == std::string::npos || line + 25 > output.size())
        return std::nullopt;
    const std::string stamp = output.substr(line + 12, 12); // HH:MM:SS.mmm
    return ((std::atoi(stamp.c_str()) * 60.0 + std::atoi(stamp.c_str() + 3)) * 60.0 + std::atof(stamp.c_str() + 6)) *
           1000.0;
}

// The duration the server logged for its last rendering.
std::optional<double> LastRenderMs(const std::string& output)
{
    const std::string marker = "), time ";
    const size_t at = output.rfind(marker);
    if (at == std::string::npos)
        return std::nullopt;
    return std::atof(output.c_str() + at + marker.size());
}

struct SRound {
    double syncedMs = 0;  ///< program start to "Sync complete"
    double connectMs = 0; ///< program start to "TCP Connected!"
};

// QV_Client from its start to its "Sync complete" line; shut down with 'q' afterwards.
std::optional<SRound> TimeClient(const CTestEndpoint& endpoint)
{
    std::optional<CProgramRun> run;
    bool synced = false;
    SRound round;
    round.syncedMs = TimeMs([&] {
        run.emplace(QV_CLIENT_PATH, ClientSettingsText(endpoint));
        synced = run->WaitFor(kSynced, kLimit);
    });
    const std::string output = run->Output();
    const std::optional<double> connected = LineTimeMs(output, "TCP Connected!");
    const std::optional<double> complete = LineTimeMs(output, kSynced);
    run->Keys("q");
    run->WaitFor("Any key to exit.", kLimit);
    run->Keys("z");
    run->WaitForExit(kLimit);
    if (!synced || !connected || !complete) {
        std::printf("QV_Client did not synchronise:\n%s", output.c_str());
        return std::nullopt;
    }
    round.connectMs = round.syncedMs - (*complete - *connected);
    return round;
}

// ApplyRecords of every packet into a fresh client store, as a starting client does.
double ApplyMs(const std::vector<std::vector<uint8_t>>& packets)
{
    CObjectsRepository store;
    return TimeMs([&] {
        for (const std::vector<uint8_t>& packet : packets)
            store.ApplyRecords(packet.data() + QVNET_StreamHeader::kSize,
                               static_cast<uint32_t>(packet.size()) - QVNET_StreamHeader::kSize);
    });
}

int RunBench()
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CProgramRun server(QV_SERVER_PATH, ServerSettingsText(endpoint));
    if (!StartFeedAndPopulate(server, kLimit))
        return 1;
    std::this_thread::sleep_for(kFeedTime);
    server.Keys("0");
    if (!server.WaitFor("completed [Obj cnt:80000]", kLimit)) {
        std::printf("the feed did not stop:\n%s", server.Output().c_str());
        return 1;
    }
    std::vector<std::vector<uint8_t>> packets;
    uint64_t seq = 0;
    if (!CSyncClient(endpoint.nPort).Synchronise(packets, seq)) {
        std::printf("the snapshot could not be pulled:\n%s", server.Output().c_str());
        return 1;
    }
    std::vector<double> synced, baseline, connect, render, transfer, apply;
    for (int round = 0; round < kRounds; ++round) {
        const std::optional<SRound> client = TimeClient(endpoint);
        const std::optional<double> renderMs = LastRenderMs(server.Output());
        if (!client || !renderMs)
            return 1;
        const SPingPongTimes wire = PlainPingPong(packets.size());
        const double applyMs = ApplyMs(packets);
        std::printf("round %d: QV_Client %7.1f ms, connect and ping-pong %7.1f ms\n", round + 1, client->syncedMs,
                    wire.connectMs + wire.exchangeMs);
        synced.push_back(client->syncedMs);
        baseline.push_back(wire.connectMs + wire.exchangeMs);
        connect.push_back(client->connectMs);
        render.push_back(*renderMs);
        transfer.push_back(wire.exchangeMs);
        apply.push_back(applyMs);
    }
    std::printf("snapshot: %zu packets\n", packets.size());
    PrintFigure("time to be synchronised (median of 5)", Median(synced), Median(baseline), 1.5 * Median(baseline));
    std::printf("  parts: start and connect %.1f ms, render %.1f ms, transfer %.1f ms, apply %.1f ms\n",
                Median(connect), Median(render), Median(transfer), Median(apply));
    server.Keys("q");
    server.WaitFor("Any key to exit.", kLimit);
    server.Keys("z");
    server.WaitForExit(kLimit);
    return 0;
}

} // namespace

int main()
{
    platform::IgnoreBrokenPipe(); // a program that died must not end the benchmark at its next key
    return RunBench();
}
