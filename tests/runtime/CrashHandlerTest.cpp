#include "Subsidiary/CrashHandler.h"
#include "Subsidiary/ThreadBase.h"
#include "platform/CrashHandler.h"
#include "platform/Thread.h"
#include "support/DeathTest.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace {

using CrashHandlerDeathTest = CThreadsafeDeathTest;

// Read at run time, so that the compiler cannot see (and warn about) the bad address.
volatile uintptr_t g_badAddress = 16;
volatile int g_sink = 0;

// A sanitizer's own fault handler may take over after the trace and end the process its way.
std::function<bool(int)> DiedOf(int signal)
{
    return [signal](int status) {
#if defined(__SANITIZE_ADDRESS__)
        if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
            return true;
#endif
        return WIFSIGNALED(status) && WTERMSIG(status) == signal;
    };
}

__attribute__((noinline)) void WriteToABadAddress()
{
    *reinterpret_cast<volatile int*>(g_badAddress) = 1;
    g_sink = 1;
}

__attribute__((noinline)) void ThrowUncaught()
{
    throw std::runtime_error("nobody catches this");
}

__attribute__((noinline)) int Recurse(int depth)
{
    volatile char room[1024];
    room[0] = static_cast<char>(depth);
    return depth > 0 ? Recurse(depth + 1) + room[0] : 0;
}

void Crash(void (*how)())
{
    SendStdoutToStderr();
    InstallCrashHandler();
    how();
}

class CCrashingThread : public CThreadBase {
public:
    CCrashingThread() : CThreadBase("crasher") {}

private:
    int32_t DoRun() override
    {
        SignalStarted();
        WriteToABadAddress();
        return 0;
    }
};

void PreviousHandler(int)
{
    std::_Exit(3);
}

const char* const kTraceWithFaultingFrame =
    "TopLevelExceptionFilter - Back trace.*#0 : [^\n]*WriteToABadAddress[^\n]*CrashHandlerTest\\.cpp:[0-9]+\\)";

} // namespace

TEST_F(CrashHandlerDeathTest, FaultPrintsTheTraceFromTheFaultingFunction)
{
    EXPECT_EXIT(Crash(WriteToABadAddress), DiedOf(SIGSEGV), kTraceWithFaultingFrame);
}

TEST_F(CrashHandlerDeathTest, FaultInAThreadObject)
{
    EXPECT_EXIT(
        {
            Crash([] {
                CCrashingThread thread;
                thread.Start();
                thread.Stop();
            });
        },
        DiedOf(SIGSEGV), kTraceWithFaultingFrame);
}

TEST_F(CrashHandlerDeathTest, StackOverflowIsReportedFromTheAlternateStack)
{
    EXPECT_EXIT(
        {
            Crash([] {
                auto thread = platform::Thread::Create([] { return static_cast<uint32_t>(Recurse(1)); });
                thread->Wait();
            });
        },
        DiedOf(SIGSEGV), "TopLevelExceptionFilter - Back trace.*#0 : [^\n]*Recurse");
}

TEST_F(CrashHandlerDeathTest, UncaughtExceptionPrintsTheTraceThenAborts)
{
    EXPECT_EXIT(
        {
            Crash([] {
                auto thread = platform::Thread::Create([] {
                    ThrowUncaught();
                    return 0u;
                });
                thread->Wait();
            });
        },
        testing::KilledBySignal(SIGABRT),
                "TopLevelExceptionFilter - Back trace.*ThrowUncaught.*=+\r?\n.*terminate called after throwing an "
                "instance of 'std::runtime_error'");
}

TEST_F(CrashHandlerDeathTest, PreviousHandlerStillRuns)
{
    EXPECT_EXIT(
        {
            std::signal(SIGSEGV, PreviousHandler);
            Crash(WriteToABadAddress);
        },
        testing::ExitedWithCode(3), kTraceWithFaultingFrame);
}

namespace {

// A report that never ends, as one that waits for the allocator's lock after heap corruption.
void HangingReport(const platform::FaultContext*)
{
    const char text[] = "report started\n";
    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, text, sizeof text - 1);
    for (;;)
        pause();
}

} // namespace

TEST_F(CrashHandlerDeathTest, HangingReportStillEndsTheProcessAsTheCrashWould)
{
    EXPECT_EXIT(
        {
            platform::InstallCrashFilter(HangingReport);
            WriteToABadAddress();
        },
        DiedOf(SIGSEGV), "report started");
    EXPECT_EXIT(
        {
            std::signal(SIGSEGV, PreviousHandler);
            platform::InstallCrashFilter(HangingReport);
            WriteToABadAddress();
        },
        testing::ExitedWithCode(3), "report started");
}
