#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/SystemError.h"
#include "platform/Thread.h"
#include "platform/Wait.h"
#include "platform/WaitableTimer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace platform;

namespace {

uint32_t WaitFor(std::vector<WaitObject*> objects, uint32_t timeoutMs)
{
    return WaitForAny(objects.data(), static_cast<uint32_t>(objects.size()), timeoutMs);
}

} // namespace

TEST(WaitTest, ManualEventStaysSignalledUntilReset)
{
    auto event = Event::Create(ResetMode::Manual);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitFor({event.get()}, 0), kWaitTimeout);
    ASSERT_TRUE(event->Set());
    ASSERT_TRUE(event->Set()); // setting twice is still one signal
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WaitFor({event.get()}, 0), 0u);
    ASSERT_TRUE(event->Reset());
    EXPECT_EQ(WaitFor({event.get()}, 0), kWaitTimeout);
    EXPECT_TRUE(event->Reset()); // resetting a reset event is fine
}

TEST(WaitTest, LowestSignalledIndexWinsAndOnlyItIsConsumed)
{
    auto stop = Event::Create(ResetMode::Manual);
    auto first = Event::Create(ResetMode::Auto);
    auto second = Event::Create(ResetMode::Auto);
    ASSERT_TRUE(first->Set());
    ASSERT_TRUE(second->Set());
    EXPECT_EQ(WaitFor({stop.get(), first.get(), second.get()}, 1000), 1u);
    EXPECT_EQ(WaitFor({stop.get(), first.get(), second.get()}, 1000), 2u);
    EXPECT_EQ(WaitFor({stop.get(), first.get(), second.get()}, 0), kWaitTimeout);
    ASSERT_TRUE(stop->Set());
    ASSERT_TRUE(first->Set());
    EXPECT_EQ(WaitFor({stop.get(), first.get()}, 1000), 0u);
    EXPECT_EQ(WaitFor({first.get()}, 0), 0u); // not consumed by the wait that chose the stop event
}

TEST(WaitTest, AutoResetEventWakesExactlyOneOfTwoWaiters)
{
    auto event = Event::Create(ResetMode::Auto);
    auto stop = Event::Create(ResetMode::Manual);
    auto woken = Event::Create(ResetMode::Manual);
    std::vector<WaitObject*> objects{event.get(), stop.get()};
    auto waiter = [&] {
        const uint32_t result = WaitFor(objects, 10000);
        if (result == 0)
            woken->Set();
        return result;
    };
    auto one = Thread::Create(waiter);
    auto two = Thread::Create(waiter);
    ASSERT_TRUE(one && two);
    ASSERT_TRUE(event->Set());
    ASSERT_EQ(WaitFor({woken.get()}, 10000), 0u);
    const uint32_t ended = WaitFor({one.get(), two.get()}, 10000);
    ASSERT_LT(ended, 2u);
    Thread& other = ended == 0 ? *two : *one;
    EXPECT_FALSE(other.Wait(200)); // still waiting: the signal went to one waiter only
    ASSERT_TRUE(stop->Set());
    ASSERT_TRUE(other.Wait(10000));
    uint32_t code = 0;
    ASSERT_TRUE(other.GetExitCode(code));
    EXPECT_EQ(code, 1u);
}

TEST(WaitTest, ManualTimerStaysSignalledUntilStoppedOrRearmed)
{
    auto timer = WaitableTimer::Create(ResetMode::Manual);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(WaitFor({timer.get()}, 0), kWaitTimeout); // a new timer is inactive
    const uint64_t start = GetTickCount64();
    ASSERT_TRUE(timer->Start(150));
    EXPECT_EQ(WaitFor({timer.get()}, 10000), 0u);
    EXPECT_GE(GetTickCount64() - start, 149u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WaitFor({timer.get()}, 0), 0u);

    ASSERT_TRUE(timer->Start(60000)); // re-arming clears the signal
    EXPECT_EQ(WaitFor({timer.get()}, 0), kWaitTimeout);
    ASSERT_TRUE(timer->Start(0)); // due at once, not disarmed
    EXPECT_EQ(WaitFor({timer.get()}, 10000), 0u);
    ASSERT_TRUE(timer->Cancel()); // cancelling an expired timer clears the signal
    EXPECT_EQ(WaitFor({timer.get()}, 50), kWaitTimeout);
}

TEST(WaitTest, CancelledTimerNeverComesDue)
{
    auto timer = WaitableTimer::Create(ResetMode::Manual);
    ASSERT_TRUE(timer->Start(30));
    ASSERT_TRUE(timer->Cancel());
    EXPECT_EQ(WaitFor({timer.get()}, 150), kWaitTimeout);
}

TEST(WaitTest, AutoResetTimerIsConsumedByTheWait)
{
    auto timer = WaitableTimer::Create(ResetMode::Auto);
    ASSERT_TRUE(timer->Start(-5)); // a due time in the past means now
    EXPECT_EQ(WaitFor({timer.get()}, 10000), 0u);
    EXPECT_EQ(WaitFor({timer.get()}, 0), kWaitTimeout);
}

TEST(WaitTest, TimeOutAfterTheGivenTime)
{
    auto event = Event::Create(ResetMode::Manual);
    const uint64_t start = GetTickCount64();
    EXPECT_EQ(WaitFor({event.get()}, 100), kWaitTimeout);
    EXPECT_GE(GetTickCount64() - start, 100u);
}

TEST(WaitTest, InvalidArgumentsFail)
{
    auto event = Event::Create(ResetMode::Manual);
    EXPECT_EQ(WaitForAny(nullptr, 1, 0), kWaitFailed);
    EXPECT_EQ(GetLastSystemError(), kErrorInvalidArgument);
    EXPECT_EQ(WaitFor({}, 0), kWaitFailed);
    EXPECT_EQ(WaitFor({event.get(), nullptr}, 0), kWaitFailed);
    EXPECT_EQ(WaitFor(std::vector<WaitObject*>(kMaxWaitObjects + 1, event.get()), 0), kWaitFailed);
    EXPECT_EQ(WaitFor(std::vector<WaitObject*>(kMaxWaitObjects, event.get()), 0), kWaitTimeout);
}

TEST(SystemErrorTest, TextsHaveNoLineBreakAndUnknownNumbersNoText)
{
    const std::string text = GetSystemErrorMessage(2); // no such file
#ifdef _WIN32
    // Windows' message table: Wine words it differently from Windows.
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
#else
    EXPECT_EQ(text, "No such file or directory");
#endif
    EXPECT_EQ(GetSystemErrorMessage(99999), "");
    EXPECT_EQ(GetSystemErrorMessage(0xFFFFFFFF), "");
}
