#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/DBGMonitor.h"
#include "support/StdoutCapture.h"
#include "support/ThreadState.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace {

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string DumpStatistics()
{
    CStdoutCapture capture;
    CDBGMonitor::DumpLockStatistics();
    return capture.Take();
}

} // namespace

TEST(LockMonitorTest, SameOrderAgainAndRecursionAreFine)
{
    CMonitoredMutex a("Fine.A");
    CMonitoredMutex b("Fine.B");
    for (int round = 0; round < 2; ++round) {
        CAutoLock first(a);
        CAutoLock second(b);
        CAutoLock again(a); // already held: no new order
    }
    for (int depth = 0; depth < 3; ++depth)
        a.Lock();
    for (int depth = 0; depth < 3; ++depth)
        a.Unlock();
    CDBGMonitor::ThreadSleep(); // nothing held any more
    CDBGMonitor::ThreadAwake();
}

TEST(LockMonitorTest, LocksSharingANameAreOneLockForTheOrder)
{
    CMonitoredMutex first("Shared.Name");
    CMonitoredMutex second("Shared.Name");
    {
        CAutoLock outer(first);
        CAutoLock inner(second);
    }
    CAutoLock outer(second);
    CAutoLock inner(first);
}

TEST(LockMonitorTest, EarlyUnlockOfTheGuard)
{
    CMonitoredMutex lock("Guard.Early");
    CAutoLock guard(lock);
    guard.Unlock();
    guard.Unlock(); // a second early unlock does nothing
    CDBGMonitor::ThreadSleep(); // would end the process if the lock were still held
    CDBGMonitor::ThreadAwake();
}

TEST(LockMonitorTest, StatisticsSumLocksOfOneNameInIdOrder)
{
    {
        CMonitoredMutex one("Stats.First");
        CMonitoredMutex two("Stats.First");
        CMonitoredMutex other("Stats.Second");
        for (int i = 0; i < 3; ++i) {
            CAutoLock guard(one);
        }
        for (int i = 0; i < 2; ++i) {
            CAutoLock guard(two);
        }
        CAutoLock guard(other);
    }
    const std::string dump = DumpStatistics();
    const size_t first = dump.find("] dump : Stats.First - Lock count : 5 , Wait time : ");
    const size_t second = dump.find("] dump : Stats.Second - Lock count : 1 , Wait time : ");
    ASSERT_NE(first, std::string::npos) << dump;
    ASSERT_NE(second, std::string::npos) << dump;
    EXPECT_LT(first, second);
}

TEST(LockMonitorTest, LockRecreatedAtTheSameAddressUnderAnotherName)
{
    alignas(CMonitoredMutex) unsigned char place[sizeof(CMonitoredMutex)];
    auto* first = new (place) CMonitoredMutex("Reuse.Old");
    first->Lock();
    first->Unlock();
    first->~CMonitoredMutex();
    auto* second = new (place) CMonitoredMutex("Reuse.New");
    second->Lock();
    second->Lock();
    second->Unlock();
    second->Unlock();
    second->~CMonitoredMutex();
    const std::string dump = DumpStatistics();
    EXPECT_TRUE(Contains(dump, "Reuse.Old - Lock count : 1 ,")) << dump;
    EXPECT_TRUE(Contains(dump, "Reuse.New - Lock count : 2 ,")) << dump;
}

TEST(LockMonitorTest, ContendedLockReleasedWhileAnotherThreadWaitsIsHandedOverAndCounted)
{
    CMonitoredMutex lock("Contended");
    std::promise<ThreadNumber> waiterTid;
    std::promise<void> taken;
    auto takenFuture = taken.get_future();
    CAutoLock held(lock);
    std::thread waiter([&] {
        waiterTid.set_value(CurrentTid());
        CAutoLock guard(lock);
        taken.set_value();
    });
    // Asleep means blocked on the lock itself: nothing else in its way can block for long.
    const bool asleep = WaitUntilAsleep(waiterTid.get_future().get(), std::chrono::seconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the wait it must count
    held.Unlock();
    EXPECT_TRUE(asleep);
    EXPECT_EQ(takenFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    waiter.join();
    {
        CAutoLock again(lock); // neither side keeps a level of it
    }
    CDBGMonitor::ThreadSleep();
    CDBGMonitor::ThreadAwake();
    const std::string dump = DumpStatistics();
    const size_t line = dump.find("Contended - Lock count : 3 , Wait time : ");
    ASSERT_NE(line, std::string::npos) << dump;
    EXPECT_GE(std::stoul(dump.substr(line + 41)), 100u) << dump;
}

TEST(LockMonitorTest, ThreadEndLogsItsTimes)
{
    CStdoutCapture capture;
    std::thread worker([] {
        CDBGMonitor::ThreadStarted("worker");
        CMonitoredMutex lock("Worker.Lock");
        CAutoLock guard(lock);
        guard.Unlock();
        CDBGMonitor::ThreadStopped();
    });
    worker.join();
    const std::string output = capture.Take();
    EXPECT_TRUE(Contains(output, "] dump : worker[0x")) << output;
    EXPECT_TRUE(Contains(output, "] - Lived : 0.0")) << output;
    EXPECT_TRUE(Contains(output, " (s), Awake : ")) << output;
    EXPECT_TRUE(Contains(output, " (s),  In crit sec : 0.000 (s)\r\n")) << output;
}
