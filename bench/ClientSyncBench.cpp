// Time for a joining QV_Client to be synchronised with a running QV_Server that holds the fed
// store (80,000 objects, about 30,000 of them with 3 properties), its feed stopped: from
// starting the program to its "Sync complete" line. The stream is idle then, so that is also
// the moment the client has applied everything up to the newest heartbeat.
// Baseline in the same run: the same snapshot pulled over a plain blocking TCP socket, one
// request per packet, each packet applied with ApplyRecords into a fresh client store as it
// arrives. The baseline runs as this benchmark started again as a program of its own, since a
// starting client pays for its start and for touching all of its store's memory for the first
// time; the same pull in this process, whose heap is warm after the first round, is printed
// beside it. Median of 5 of each, taken in turns; target at most 1.3 times the baseline.
// Run inside the test namespace: scripts/netns-run build/bench/client_sync_bench

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
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int kRounds = 5;
constexpr auto kFeedTime = 11s; // about 100 bursts: 3 changes for each of the 32,767 objects the feed picks
constexpr auto kLimit = 60s;
/// Set to the server's port, it makes this program the baseline's process.
constexpr const char* kPlainPullVariable = "QV_BENCH_PLAIN_PULL_PORT";
const std::string kSynced = "Sync complete - objs : 80000!";

// Admitted, then each snapshot packet applied before the next is asked for; the number of
// objects then, or none when the conversation broke off.
std::optional<uint64_t> PlainSync(uint16_t port)
{
    CObjectsRepository store;
    CSyncClient client(port);
    if (!client.Valid() || !client.Request(QVNET_ID_SYNC_REQUEST))
        return std::nullopt;
    for (;;) {
        const std::optional<std::vector<uint8_t>> packet = client.NextPacket();
        if (!packet || packet->size() < QVNET_SyncCompletePkt::kSize)
            return std::nullopt;
        if ((*packet)[0] == QVNET_ID_SYNC_COMPLETE)
            return store.GetObjectCount();
        store.ApplyRecords(packet->data() + QVNET_StreamHeader::kSize,
                           static_cast<uint32_t>(packet->size()) - QVNET_StreamHeader::kSize);
        if (!client.Request(QVNET_ID_NEXT_SYNC))
            return std::nullopt;
    }
}

// The baseline's process: it says "Sync complete" as the client does.
int RunPlainSync(uint16_t port)
{
    const std::optional<uint64_t> objects = PlainSync(port);
    if (!objects)
        return 1;
    std::printf("Sync complete - objs : %llu!\n", static_cast<unsigned long long>(*objects));
    std::fflush(stdout);
    return 0;
}

// A program from its start to its "Sync complete" line, in `ms`; QV_Client is shut down with
// 'q' afterwards, the baseline's process ends by itself.
bool TimeSync(const std::string& program, const CTestEndpoint& endpoint, double& ms)
{
    const bool plain = program != QV_CLIENT_PATH;
    if (plain)
        setenv(kPlainPullVariable, std::to_string(endpoint.nPort).c_str(), 1);
    std::optional<CProgramRun> run;
    bool synced = false;
    ms = TimeMs([&] {
        run.emplace(program, ClientSettingsText(endpoint));
        synced = run->WaitFor(kSynced, kLimit);
    });
    unsetenv(kPlainPullVariable);
    if (!synced)
        std::printf("%s did not synchronise:\n%s", program.c_str(), run->Output().c_str());
    if (!plain) {
        run->Keys("q");
        run->WaitFor("Any key to exit.", kLimit);
        run->Keys("z");
    }
    run->WaitForExit(kLimit);
    return synced;
}

int RunBench()
{
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
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
    std::vector<double> program, plain, warm;
    for (int round = 0; round < kRounds; ++round) {
        double programMs = 0, plainMs = 0;
        if (!TimeSync(QV_CLIENT_PATH, endpoint, programMs) || !TimeSync(self, endpoint, plainMs))
            return 1;
        std::optional<uint64_t> objects;
        const double warmMs = TimeMs([&] { objects = PlainSync(endpoint.nPort); });
        if (objects != 80000u) {
            std::printf("the plain pull in this process broke off:\n%s", server.Output().c_str());
            return 1;
        }
        std::printf("round %d: QV_Client %7.1f ms, plain pull and apply %7.1f ms (in this process %7.1f ms)\n",
                    round + 1, programMs, plainMs, warmMs);
        program.push_back(programMs);
        plain.push_back(plainMs);
        warm.push_back(warmMs);
    }
    PrintFigure("time to be synchronised (median of 5)", Median(program), Median(plain), 1.3 * Median(plain));
    std::printf("%-44s %9.2f ms  x%.1f of it\n", "plain pull in this process, warm heap", Median(warm),
                Median(program) / Median(warm));
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
    if (const char* port = std::getenv(kPlainPullVariable))
        return RunPlainSync(static_cast<uint16_t>(std::atoi(port)));
    return RunBench();
}
