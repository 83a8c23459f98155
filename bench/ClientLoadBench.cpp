// What a synchronised QV_Client costs its machine: its resident memory right after it has
// synchronised with the fed store (80,000 objects), and the CPU it spends following the feed
// (bursts of 1000 changes every 100 ms) over 10 s. Reference in the same run: the server's
// CPU in the same window, which makes the changes and sends them.
// Run inside the test namespace: scripts/netns-run build/bench/client_load_bench

#include "platform/BrokenPipe.h"
#include "support/ClientProgram.h"
#include "support/ProcessCpu.h"
#include "support/ProcessResident.h"
#include "support/ProgramRun.h"
#include "support/ServerProgram.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 60s;
constexpr auto kWindow = 10s;

void Quit(CProgramRun& run)
{
    run.Keys("q");
    run.WaitFor("Any key to exit.", kLimit);
    run.Keys("z");
    run.WaitForExit(kLimit);
}

int RunBench()
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CProgramRun server(QV_SERVER_PATH, ServerSettingsText(endpoint));
    if (!StartFeedAndPopulate(server, kLimit))
        return 1;
    CProgramRun client(QV_CLIENT_PATH, ClientSettingsText(endpoint));
    if (!client.WaitFor("Sync complete - objs : 80000!", kLimit)) {
        std::printf("the client did not synchronise:\n%s", client.Output().c_str());
        return 1;
    }
    std::this_thread::sleep_for(1s); // the packets kept during the snapshot are applied
    const double resident = ResidentMiB(client.Pid());
    const double clientBefore = CpuSeconds(client.Pid()), serverBefore = CpuSeconds(server.Pid());
    std::this_thread::sleep_for(kWindow);
    const double clientCpu = CpuSeconds(client.Pid()) - clientBefore, serverCpu = CpuSeconds(server.Pid()) - serverBefore;
    const bool followed = client.Output().find("ERR") == std::string::npos;
    Quit(client);
    Quit(server);
    if (!followed) {
        std::printf("the client reported an error:\n%s", client.Output().c_str());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(kWindow).count();
    std::printf("client resident memory after the sync       %8.1f MiB\n", resident);
    std::printf("client CPU following the feed               %8.1f %% of a core  server %5.1f %%  x%.2f of it\n",
                100 * clientCpu / seconds, 100 * serverCpu / seconds, clientCpu / serverCpu);
    return 0;
}

} // namespace

int main()
{
    platform::IgnoreBrokenPipe(); // a program that died must not end the benchmark at its next key
    return RunBench();
}
