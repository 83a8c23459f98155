#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/DBGMonitor.h"
#include "support/DeathTest.h"

#include <gtest/gtest.h>

#include <barrier>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using LockMonitorDeathTest = CThreadsafeDeathTest;

const char* const kUnknownThread = R"(UnknownThread <0x[0-9A-F]{8}>)";

void LockInOrder(CAutoMutex& first, CAutoMutex& second)
{
    CAutoLock outer(first);
    CAutoLock inner(second);
}

} // namespace

TEST_F(LockMonitorDeathTest, OrderInversionInOneThread)
{
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex a("Inv.A");
            CMonitoredMutex b("Inv.B");
            LockInOrder(a, b);
            LockInOrder(b, a);
        },
        testing::ExitedWithCode(1),
        R"(CDBGMonitor::CheckForDeadlock : ERR : Critical section Inv\.B, is locked before Inv\.A !!!.*Deadlock - Back trace)");
}

TEST_F(LockMonitorDeathTest, OrderInversionBetweenTwoThreads)
{
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex a("Two.A");
            CMonitoredMutex b("Two.B");
            std::thread([&] { LockInOrder(a, b); }).join();
            std::thread([&] { LockInOrder(b, a); }).join();
        },
        testing::ExitedWithCode(1), R"(Critical section Two\.B, is locked before Two\.A !!!)");
}

TEST_F(LockMonitorDeathTest, OrderInversionBetweenTwoThreadsHoldingTheirFirstLocks)
{
    // Each thread holds its first lock when both ask for the second: a real deadlock unless
    // the monitor stops the second of them first. The alarm turns a missed one into a failure.
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            alarm(30);
            CMonitoredMutex a("Both.A");
            CMonitoredMutex b("Both.B");
            std::barrier holding(2);
            const auto nest = [&](CAutoMutex& first, CAutoMutex& second) {
                CAutoLock outer(first);
                holding.arrive_and_wait();
                CAutoLock inner(second);
            };
            std::thread one(nest, std::ref(a), std::ref(b));
            std::thread two(nest, std::ref(b), std::ref(a));
            one.join();
            two.join();
        },
        testing::ExitedWithCode(1), R"(Critical section Both\.[AB], is locked before Both\.[AB] !!!)");
}

TEST_F(LockMonitorDeathTest, OrderInversionThroughTwoLocksSharingAName)
{
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex a1("Same.A");
            CMonitoredMutex a2("Same.A");
            CMonitoredMutex b("Same.B");
            std::thread([&] { LockInOrder(a1, b); }).join();
            std::thread([&] { LockInOrder(b, a2); }).join();
        },
        testing::ExitedWithCode(1), R"(Critical section Same\.B, is locked before Same\.A !!!)");
}

TEST_F(LockMonitorDeathTest, UnlockBeyondTheRecursionDepth)
{
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex lock("Depth.R");
            for (int i = 0; i < 3; ++i)
                lock.Lock();
            for (int i = 0; i < 4; ++i)
                lock.Unlock();
        },
        testing::ExitedWithCode(1),
        R"(CDBGMonitorMPLeaveCriticalSection : ERR : MPLeaveCriticalSection called without corresponding call to EnterCriticalSection for Depth\.R!.*LeaveWithoutLock - Back trace)");
}

TEST_F(LockMonitorDeathTest, SleepWithALockHeldNamesAnUnregisteredThread)
{
    const std::string expected = std::string(R"(CDBGMonitor::ThreadSleep : ERR : Critical section 'Held\.S' are not released prior to thread ')") +
                                 kUnknownThread + "' sleep!.*NotReleasedCriticalSection - Back trace";
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex lock("Held.S");
            CAutoLock guard(lock);
            CDBGMonitor::ThreadSleep();
        },
        testing::ExitedWithCode(1), expected);
}

TEST_F(LockMonitorDeathTest, ThreadEndWithALockHeld)
{
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex lock("Held.E");
            std::thread([&] {
                CDBGMonitor::ThreadStarted("ender");
                lock.Lock();
                CDBGMonitor::ThreadStopped();
            }).join();
        },
        testing::ExitedWithCode(1), R"(Critical section 'Held\.E' are not released prior to thread 'ender' sleep!)");
}

TEST_F(LockMonitorDeathTest, DoubleInitialisation)
{
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex lock("Twice.D");
            CDBGMonitor::InitializeCriticalSection(&lock, "Twice.D");
        },
        testing::ExitedWithCode(1),
        R"(CDBGMonitor::InitializeCriticalSection : ERR : Double initialized critical section : Twice\.D!.*DoubleInitCS - Back trace)");
}

TEST_F(LockMonitorDeathTest, DeleteWithoutInitialisation)
{
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CAutoMutex plain;
            CDBGMonitor::DeleteCriticalSection(&plain);
        },
        testing::ExitedWithCode(1),
        R"(CDBGMonitor::DeleteCriticalSection : ERR : Delete called with no initialize!.*DelWithoutInit - Back trace)");
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex lock("Deleted.Twice");
            CDBGMonitor::DeleteCriticalSection(&lock);
        },
        testing::ExitedWithCode(1),
        R"(Delete called without corresponding init for Deleted\.Twice!.*DelWithoutInit - Back trace)");
}

TEST_F(LockMonitorDeathTest, OutOfResourcesNamesTheFailingCheck)
{
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex tooLong(std::string(300, 'n'));
        },
        testing::ExitedWithCode(1),
        R"(CDBGMonitor::InitializeCriticalSection : ERR : Out of resources in Subsidiary/DBGMonitor:[0-9]+!)");
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CAutoMutex neverRegistered;
            CDBGMonitor::EnterCriticalSection(&neverRegistered);
        },
        testing::ExitedWithCode(1),
        R"(CDBGMonitor::EnterCriticalSection : ERR : Out of resources in Subsidiary/DBGMonitor:[0-9]+!)");
}
