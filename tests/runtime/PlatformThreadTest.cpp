#include "platform/Event.h"
#include "platform/SystemError.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

using namespace platform;

namespace {

uint32_t AddOne(void* argument)
{
    return *static_cast<uint32_t*>(argument) + 1;
}

} // namespace

TEST(PlatformThreadTest, HandleIsSignalledWithTheExitCodeWhenTheFunctionReturns)
{
    auto release = Event::Create(ResetMode::Manual);
    auto thread = Thread::Create([&] {
        WaitObject* object = release.get();
        return WaitForAny(&object, 1, 10000) == 0 ? 42u : 7u;
    });
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(thread->GetId(), GetCurrentThreadId());
    uint32_t code = 0;
    EXPECT_FALSE(thread->Wait(0));
    EXPECT_FALSE(thread->GetExitCode(code));
    ASSERT_TRUE(release->Set());
    ASSERT_TRUE(thread->Wait(10000));
    ASSERT_TRUE(thread->GetExitCode(code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(thread->Wait(0)); // stays signalled
}

TEST(PlatformThreadTest, FunctionAndArgument)
{
    uint32_t value = 9;
    auto thread = Thread::Create(AddOne, &value);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(thread->Wait(10000));
    uint32_t code = 0;
    ASSERT_TRUE(thread->GetExitCode(code));
    EXPECT_EQ(code, 10u);
}

TEST(PlatformThreadTest, TerminateEndsAWaitingThreadAndUnwindsIt)
{
    auto never = Event::Create(ResetMode::Manual);
    std::atomic<bool> unwound{false};
    auto thread = Thread::Create([&] {
        struct Guard {
            std::atomic<bool>& flag;
            ~Guard() { flag = true; }
        } guard{unwound};
        WaitObject* object = never.get();
        WaitForAny(&object, 1, kInfinite);
        return 0u;
    });
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(thread->Wait(50));
    ASSERT_TRUE(thread->Terminate());
    ASSERT_TRUE(thread->Wait(10000));
    uint32_t code = 0;
    ASSERT_TRUE(thread->GetExitCode(code));
    EXPECT_EQ(code, kTerminatedExitCode);
    EXPECT_TRUE(unwound);
    EXPECT_TRUE(thread->Terminate()); // an ended thread is no error
}

TEST(PlatformThreadTest, TerminateWaitsForTheNextWait)
{
    auto reached = Event::Create(ResetMode::Manual);
    auto go = Event::Create(ResetMode::Manual);
    auto never = Event::Create(ResetMode::Manual);
    std::atomic<int> progress{0};
    auto thread = Thread::Create([&] {
        reached->Set();
        WaitObject* object = go.get();
        WaitForAny(&object, 1, 10000); // returns normally: terminate came before it
        progress = 1;
        object = never.get();
        WaitForAny(&object, 1, kInfinite);
        progress = 2;
        return 0u;
    });
    WaitObject* object = reached.get();
    ASSERT_EQ(WaitForAny(&object, 1, 10000), 0u);
    ASSERT_TRUE(go->Set());
    ASSERT_TRUE(thread->Terminate());
    ASSERT_TRUE(thread->Wait(10000));
    EXPECT_LE(progress.load(), 1);
}

TEST(PlatformThreadTest, DroppedHandleLeavesTheThreadRunning)
{
    auto go = Event::Create(ResetMode::Manual);
    auto done = Event::Create(ResetMode::Manual);
    Thread::Create([&] {
        WaitObject* object = go.get();
        WaitForAny(&object, 1, 10000);
        done->Set();
        return 0u;
    }).reset();
    ASSERT_TRUE(go->Set());
    WaitObject* object = done.get();
    EXPECT_EQ(WaitForAny(&object, 1, 10000), 0u);
}

TEST(PlatformThreadTest, PriorityRaiseRefusedOrNotTheThreadRuns)
{
    auto go = Event::Create(ResetMode::Manual);
    auto thread = Thread::Create([&] {
        WaitObject* object = go.get();
        return WaitForAny(&object, 1, 10000);
    });
    if (!thread->RaisePriority()) {
        const uint32_t error = GetLastSystemError();
        EXPECT_TRUE(error == EACCES || error == EPERM) << error;
    }
    ASSERT_TRUE(go->Set());
    ASSERT_TRUE(thread->Wait(10000));
    uint32_t code = 1;
    ASSERT_TRUE(thread->GetExitCode(code));
    EXPECT_EQ(code, 0u);
}
