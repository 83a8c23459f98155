// How long a packet posted by a busy worker takes to reach another worker asleep in Dequeue,
// against a packet posted by a thread outside the port's workers. The poster stays with its
// own packet for 2 ms after each post (it waits, rather than spins, so that the figure shows
// the port's wake-up and not how loaded the processors are), so the packet must not wait for
// it. Run: build/bench/port_wake_bench

#include "platform/CompletionPort.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 1000;
constexpr uintptr_t kStop = 0;
constexpr uintptr_t kTrigger = 1; ///< the worker that takes it posts kHandOff, then stays busy
constexpr uintptr_t kHandOff = 2;
constexpr auto kBusy = std::chrono::milliseconds(2);

struct Round {
    std::atomic<int64_t> postedNs{0};
    std::atomic<int64_t> latencyNs{-1};
    std::atomic<int> idle{0}; ///< workers back in Dequeue, as far as they can tell
};

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void Work(platform::CompletionPort& port, Round& round)
{
    platform::CompletionPacket packet;
    while (port.Dequeue(packet, platform::kInfinite) && packet.key != kStop) {
        if (packet.key == kTrigger) {
            round.postedNs.store(NowNs());
            port.Post(kHandOff, nullptr, 0);
            std::this_thread::sleep_for(kBusy);
        } else {
            round.latencyNs.store(NowNs() - round.postedNs.load());
        }
        round.idle.fetch_add(1);
        round.idle.notify_all();
    }
}

// Median and 99th percentile in microseconds of kRounds hand-offs.
std::pair<double, double> Measure(bool fromWorker)
{
    auto port = platform::CompletionPort::Create();
    Round round;
    std::thread a([&] { Work(*port, round); });
    std::thread b([&] { Work(*port, round); });
    std::vector<int64_t> latencies;
    for (int i = 0; i < kRounds; ++i) {
        round.latencyNs.store(-1);
        const int expectedIdle = round.idle.load() + (fromWorker ? 2 : 1);
        std::this_thread::sleep_for(std::chrono::microseconds(500)); // both asleep in Dequeue
        if (fromWorker) {
            port->Post(kTrigger, nullptr, 0);
        } else {
            round.postedNs.store(NowNs());
            port->Post(kHandOff, nullptr, 0);
        }
        for (int idle = round.idle.load(); idle < expectedIdle; idle = round.idle.load())
            round.idle.wait(idle); // asleep: the machine may have only two processors
        latencies.push_back(round.latencyNs.load());
    }
    port->Post(kStop, nullptr, 0);
    port->Post(kStop, nullptr, 0);
    a.join();
    b.join();
    std::sort(latencies.begin(), latencies.end());
    return {latencies[kRounds / 2] / 1000.0, latencies[kRounds * 99 / 100] / 1000.0};
}

} // namespace

int main()
{
    std::printf("packet hand-off to a worker asleep in Dequeue, %d rounds\n", kRounds);
    const auto [outsideMedian, outsideP99] = Measure(false);
    const auto [busyMedian, busyP99] = Measure(true);
    std::printf("posted by a non-worker thread    median %8.1f us  99th %8.1f us\n", outsideMedian, outsideP99);
    std::printf("posted by a busy worker          median %8.1f us  99th %8.1f us  ratio %.2f\n", busyMedian,
                busyP99, outsideMedian / busyMedian);
    const bool ok = busyMedian < 1000.0;
    std::printf("a busy worker's packet reaches another worker within a millisecond: %s\n", ok ? "yes" : "NO");
    return ok ? 0 : 1;
}
