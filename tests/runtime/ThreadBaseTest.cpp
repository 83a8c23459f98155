#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/ThreadBase.h"
#include "platform/SystemError.h"
#include "platform/Wait.h"
#include "support/DeathTest.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

namespace {

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A thread object whose body is given by the test.
class CTestThread : public CThreadBase {
public:
    using Body = std::function<int32_t(CTestThread&)>;

    CTestThread(std::string name, Body body) : CThreadBase(std::move(name)), m_body(std::move(body)) {}

    // The usual body: acknowledge, then wait for the stop event.
    static int32_t UntilStopped(CTestThread& self, int32_t result)
    {
        self.SignalStarted();
        const HANDLE stop = self.GetStopEvent();
        return WaitForHandles(&stop, 1) == 0 ? result : -100;
    }

    using CThreadBase::GetStopEvent;
    using CThreadBase::SignalStarted;

    std::atomic<int> runs{0};

private:
    int32_t DoRun() override
    {
        ++runs;
        return m_body(*this);
    }

    Body m_body;
};

// Closes a handle at the end of a test.
struct CHandle {
    HANDLE h;
    explicit CHandle(HANDLE handle) : h(handle) {}
    ~CHandle() { CThreadBase::CloseHandle(h); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
};

bool IsSignalled(HANDLE h)
{
    return platform::WaitForAny(&h, 1, 0) == 0;
}

} // namespace

TEST(ThreadBaseTest, StartStopAndStartAgain)
{
    CTestThread thread("worker", [](CTestThread& self) { return CTestThread::UntilStopped(self, 7); });
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(thread.Start(), 0);
        EXPECT_TRUE(thread.IsRunning());
        uint32_t exitCode = 0;
        EXPECT_TRUE(thread.Stop(&exitCode));
        EXPECT_EQ(exitCode, 7u);
        EXPECT_FALSE(thread.IsRunning());
    }
    EXPECT_EQ(thread.runs, 2);
}

TEST(ThreadBaseTest, StartWhileRunningAndStopWhileNotRunning)
{
    CTestThread thread("worker", [](CTestThread& self) { return CTestThread::UntilStopped(self, 0); });
    CStdoutCapture capture;
    EXPECT_FALSE(thread.Stop());
    ASSERT_EQ(thread.Start(), 0);
    EXPECT_EQ(thread.Start(), -1);
    EXPECT_TRUE(thread.Stop());
    const std::string output = capture.Take();
    EXPECT_TRUE(Contains(output, "CThreadBase::Stop() : ERR : Thread not running!\r\n")) << output;
    EXPECT_TRUE(Contains(output, "CThreadBase::Start() : ERR : Thread already running!\r\n")) << output;
    EXPECT_EQ(thread.runs, 1);
}

TEST(ThreadBaseTest, BodyReturningBeforeAcknowledging)
{
    CTestThread failing("failing", [](CTestThread&) { return 5; });
    EXPECT_EQ(failing.Start(), 5);
    EXPECT_FALSE(failing.IsRunning());
    CStdoutCapture capture;
    EXPECT_FALSE(failing.Stop());
    EXPECT_TRUE(Contains(capture.Take(), "Thread not running!"));

    // A body that returns 0 without acknowledging counts as started.
    CTestThread quiet("quiet", [](CTestThread&) { return 0; });
    EXPECT_EQ(quiet.Start(), 0);
    EXPECT_TRUE(quiet.IsRunning());
    uint32_t exitCode = 1;
    EXPECT_TRUE(quiet.Stop(&exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST(ThreadBaseTest, BodyIgnoringTheStopEventIsTerminatedAfterTheWait)
{
    CHandle never(CThreadBase::CreateEventHandle());
    std::atomic<bool> unwound{false};
    CTestThread stubborn("stubborn", [&](CTestThread& self) {
        struct Guard {
            std::atomic<bool>& flag;
            ~Guard() { flag = true; }
        } guard{unwound};
        self.SignalStarted();
        return CThreadBase::WaitForHandles(&never.h, 1);
    });
    ASSERT_EQ(stubborn.Start(), 0);
    CStdoutCapture capture;
    uint32_t exitCode = 0;
    EXPECT_FALSE(stubborn.Stop(&exitCode, 100));
    EXPECT_FALSE(stubborn.IsRunning());
    EXPECT_TRUE(unwound);
    EXPECT_TRUE(Contains(capture.Take(), "CThreadBase::Stop() : ERR : Wait for thread to die failed - "));
}

TEST(ThreadBaseTest, BodyThatReturnedOnItsOwn)
{
    CHandle returned(CThreadBase::CreateEventHandle());
    CTestThread brief("brief", [&](CTestThread& self) {
        self.SignalStarted();
        self.SignalStarted(); // a second acknowledgement does nothing
        CThreadBase::SignalEventHandle(returned.h);
        return 9;
    });
    ASSERT_EQ(brief.Start(), 0);
    ASSERT_EQ(CThreadBase::WaitForHandles(&returned.h, 1), 0);
    uint32_t exitCode = 0;
    EXPECT_TRUE(brief.Stop(&exitCode, 10000));
    EXPECT_EQ(exitCode, 9u);
}

TEST(ThreadBaseTest, ThreadRegistersWithTheLockMonitorUnderItsName)
{
    CStdoutCapture capture;
    for (const char* name : {"named", ""}) {
        CTestThread thread(name, [](CTestThread& self) { return CTestThread::UntilStopped(self, 0); });
        ASSERT_EQ(thread.Start(), 0);
        ASSERT_TRUE(thread.Stop());
    }
    const std::string output = capture.Take();
    EXPECT_TRUE(Contains(output, "] dump : named[0x")) << output;
    EXPECT_TRUE(Contains(output, "] dump : <unnamed thread>[0x")) << output;
}

TEST(ThreadBaseTest, StopEventWinsOverASignalledTimer)
{
    CHandle stop(CThreadBase::CreateEventHandle());
    CHandle timer(CThreadBase::CreateTimerHandle());
    ASSERT_TRUE(stop.h && timer.h);
    ASSERT_TRUE(CThreadBase::StartTimerHandle(timer.h, 0));
    ASSERT_TRUE(CThreadBase::SignalEventHandle(stop.h));
    const HANDLE handles[] = {stop.h, timer.h};
    EXPECT_EQ(CThreadBase::WaitForHandles(handles, 2), 0);
    ASSERT_TRUE(CThreadBase::ResetEventHandle(stop.h));
    EXPECT_EQ(CThreadBase::WaitForHandles(handles, 2), 1);
}

TEST(ThreadBaseTest, TimerStaysSignalledUntilStoppedOrStartedAgain)
{
    CHandle timer(CThreadBase::CreateTimerHandle());
    ASSERT_TRUE(CThreadBase::StartTimerHandle(timer.h, 150));
    EXPECT_FALSE(IsSignalled(timer.h));
    ASSERT_EQ(CThreadBase::WaitForHandles(&timer.h, 1), 0);
    EXPECT_EQ(CThreadBase::WaitForHandles(&timer.h, 1), 0);
    EXPECT_TRUE(CThreadBase::StopTimerHandle(timer.h));
    EXPECT_FALSE(IsSignalled(timer.h));
    ASSERT_TRUE(CThreadBase::StartTimerHandle(timer.h, 0));
    ASSERT_EQ(CThreadBase::WaitForHandles(&timer.h, 1), 0);
    ASSERT_TRUE(CThreadBase::StartTimerHandle(timer.h, 60000));
    EXPECT_FALSE(IsSignalled(timer.h));
}

TEST(ThreadBaseTest, FailuresAreLoggedWithTheSystemText)
{
    CHandle event(CThreadBase::CreateEventHandle());
    CStdoutCapture capture;
    EXPECT_FALSE(CThreadBase::SignalEventHandle(nullptr));
    EXPECT_FALSE(CThreadBase::ResetEventHandle(nullptr));
    EXPECT_FALSE(CThreadBase::StartTimerHandle(event.h, 10));
    const HANDLE broken[] = {event.h, nullptr};
    EXPECT_EQ(CThreadBase::WaitForHandles(broken, 2), -1);
    const std::string output = capture.Take();
    const std::string invalid = GetSystemErrorText(platform::kErrorInvalidArgument) + "\r\n";
    EXPECT_TRUE(Contains(output, "CThreadBase::SignalEventHandle() : ERR : Unable to set event : " + invalid)) << output;
    EXPECT_TRUE(Contains(output, "CThreadBase::ResetEventHandle() : ERR : Unable to reset event : " + invalid));
    EXPECT_TRUE(Contains(output, "CThreadBase::StartTimerHandle() : ERR : Error set waitable timer : " + invalid));
    EXPECT_TRUE(Contains(output, "CThreadBase::WaitForHandles() : ERR : " + invalid));
#ifndef _WIN32
    EXPECT_EQ(invalid, "Invalid argument\r\n");
#endif
}

TEST(ThreadBaseTest, SystemErrorText)
{
    EXPECT_EQ(GetSystemErrorText(99999), "???");
    const std::string text = GetSystemErrorText(2); // no such file
#ifdef _WIN32
    EXPECT_FALSE(text.empty()); // Windows' message table, worded differently by Wine
#else
    EXPECT_EQ(text, "No such file or directory");
#endif
}

using ThreadBaseDeathTest = CThreadsafeDeathTest;

// The report and the back trace after it. GoogleTest's regular expressions on Windows let no
// ".*" cross a line end: there the report's line alone.
constexpr const char* kNotReleasedReport =
#ifdef _WIN32
    R"(Critical section 'Body\.Lock' are not released prior to thread 'holder' sleep!)";
#else
    R"(Critical section 'Body\.Lock' are not released prior to thread 'holder' sleep!.*NotReleasedCriticalSection - Back trace)";
#endif

TEST_F(ThreadBaseDeathTest, WaitingWithALockHeldEndsTheProcess)
{
    EXPECT_EXIT(
        {
            SendStdoutToStderr();
            CMonitoredMutex lock("Body.Lock");
            CTestThread holder("holder", [&](CTestThread& self) {
                CAutoLock guard(lock);
                return CTestThread::UntilStopped(self, 0);
            });
            holder.Start();
            holder.Stop(); // never returns: the body's wait ends the process
        },
        testing::ExitedWithCode(1), kNotReleasedReport);
}
