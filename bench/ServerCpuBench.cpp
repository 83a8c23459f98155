// The CPU a running QV_Server spends with its feed running while 1, 10 and 50 clients are
// admitted, synchronised and idle: idle clients must cost the server next to nothing, so 50
// of them should take at most 1.1 times what one takes. The feed's own cost creeps up while the
// store's objects gather properties, so the one-client window is measured again at the end,
// after 49 clients have left, and each ratio is against the one-client figure interpolated to
// its window's time.
// Run inside the test namespace: scripts/netns-run build/bench/server_cpu_bench

#include "platform/BrokenPipe.h"
#include "support/ProcessCpu.h"
#include "support/ProgramRun.h"
#include "support/ServerProgram.h"
#include "support/SyncClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 60s;
constexpr auto kWindow = 10s;
constexpr auto kWarmUp = 20s; // the feed's cost rises fastest while the fresh store gathers properties
constexpr size_t kClientCounts[] = {1, 10, 50, 1};

int RunBench()
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CProgramRun server(QV_SERVER_PATH, ServerSettingsText(endpoint, 60));
    if (!StartFeedAndPopulate(server, kLimit))
        return 1;
    std::this_thread::sleep_for(kWarmUp);
    std::vector<std::unique_ptr<CSyncClient>> clients;
    std::vector<double> perWindow, at; // CPU s per window, and its middle (s since start)
    const auto start = std::chrono::steady_clock::now();
    for (const size_t count : kClientCounts) {
        clients.resize(std::min(clients.size(), count));
        while (clients.size() < count) {
            clients.push_back(std::make_unique<CSyncClient>(endpoint.nPort));
            std::vector<std::vector<uint8_t>> packets;
            uint64_t seq = 0;
            if (!clients.back()->Valid() || !clients.back()->Synchronise(packets, seq)) {
                std::printf("client %zu was not synchronised:\n%s", clients.size(), server.Output().c_str());
                return 1;
            }
        }
        std::this_thread::sleep_for(1s); // the last snapshot's or close's work is over
        const double before = CpuSeconds(server.Pid());
        std::this_thread::sleep_for(kWindow);
        perWindow.push_back(CpuSeconds(server.Pid()) - before);
        at.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start - kWindow / 2).count());
        std::printf("%2zu idle clients: %6.3f CPU s per 10 s\n", count, perWindow.back());
    }
    server.Keys("q");
    server.WaitFor("Any key to exit.", kLimit);
    server.Keys("z");
    server.WaitForExit(kLimit);

    const auto oneClientAt = [&](size_t window) {
        return perWindow[0] + (perWindow[3] - perWindow[0]) * (at[window] - at[0]) / (at[3] - at[0]);
    };
    std::printf("ratio 10 / 1 clients: %.3f\n", perWindow[1] / oneClientAt(1));
    std::printf("ratio 50 / 1 clients: %.3f   target at most 1.1  %s\n", perWindow[2] / oneClientAt(2),
                perWindow[2] <= 1.1 * oneClientAt(2) ? "ok" : "OVER");
    return 0;
}

} // namespace

int main()
{
    platform::IgnoreBrokenPipe(); // a server that died must not end the benchmark at its next key
    return RunBench();
}
