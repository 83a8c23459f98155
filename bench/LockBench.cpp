// Cost of one uncontended lock/unlock pair: a CMonitoredMutex against a plain
// std::recursive_mutex, measured in the same run. The best of several rounds is reported, so
// that a round disturbed by other work on the machine does not count.

#include "Subsidiary/AutoMutex.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace {

constexpr int kPairsPerRound = 1000000;
constexpr int kRounds = 7;

template <typename Lockable>
double BestNanosecondsPerPair(Lockable& lock)
{
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kPairsPerRound; ++i) {
            lock.lock();
            lock.unlock();
        }
        const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count() / kPairsPerRound);
    }
    return best;
}

// Gives CMonitoredMutex the lock()/unlock() shape of the standard locks.
struct MonitoredLockable {
    CMonitoredMutex mutex{"bench.monitored"};
    void lock() { mutex.Lock(); }
    void unlock() { mutex.Unlock(); }
};

} // namespace

int main()
{
    std::recursive_mutex plain;
    MonitoredLockable monitored;
    const double plainNs = BestNanosecondsPerPair(plain);
    const double monitoredNs = BestNanosecondsPerPair(monitored);
    std::printf("std::recursive_mutex lock/unlock pair: %8.1f ns\n", plainNs);
    std::printf("CMonitoredMutex      lock/unlock pair: %8.1f ns\n", monitoredNs);
    std::printf("ratio monitored / plain:               %8.1f\n", monitoredNs / plainNs);
    return 0;
}
