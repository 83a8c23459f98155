#include "TestTransportOwner.h"

#include "net/server/IOCPContext.h"
#include "net/server/IOCPThreadPool.h"
#include "platform/OverlappedSocket.h"
#include "platform/SocketError.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

namespace {

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

/// Waits, bounded, until the target has been handed `count` completions.
std::vector<CRecordingTarget::Call> WaitForCalls(CRecordingTarget& target, size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (target.Calls().size() < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return target.Calls();
}

} // namespace

TEST(WorkerPoolTest, WorkersStartLogAndEndOnOneEndPacketEach)
{
    CTestTransportOwner owner;
    CIOCPThreadPool pool;
    CStdoutCapture capture;
    ASSERT_TRUE(pool.Start(3, &owner));
    EXPECT_EQ(pool.GetSize(), 3u);
    pool.Stop(); // returns only after every worker has ended
    const std::string log = capture.Take();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(Count(log, "IOCP : Thread object for pool : " + std::to_string(n) + " Running!\r\n"), 1u) << log;
        EXPECT_EQ(Count(log, "IOCP : Thread object for pool : " + std::to_string(n) + " exited!\r\n"), 1u) << log;
    }
    EXPECT_EQ(Count(log, "Thread object for pool"), 6u);
    EXPECT_EQ(pool.GetSize(), 0u);
    platform::CompletionPacket leftover;
    EXPECT_FALSE(owner.GetCompletionPort()->Dequeue(leftover, 0)); // exactly one end packet each
}

TEST(WorkerPoolTest, KeyNamesTheTargetAndTheAcceptKeyTheOwnerBehindTheContext)
{
    CTestTransportOwner owner;
    CRecordingTarget slot, listenerOwner;
    CIOCPThreadPool pool;
    {
        CStdoutCapture quiet;
        ASSERT_TRUE(pool.Start(2, &owner));
    }
    platform::OVERLAPPED read{};
    CIOCPContext accept;
    accept.Prepare(&listenerOwner);
    owner.GetCompletionPort()->Post(CompletionKeyOf(&slot), &read, 17);
    owner.GetCompletionPort()->Post(CIOCPThreadPoolItem::kAcceptKey, &accept.overlapped, 5);
    const auto slotCalls = WaitForCalls(slot, 1);
    const auto acceptCalls = WaitForCalls(listenerOwner, 1);
    ASSERT_EQ(slotCalls.size(), 1u);
    EXPECT_EQ(slotCalls[0].overlapped, &read);
    EXPECT_EQ(slotCalls[0].bytes, 17u);
    ASSERT_EQ(acceptCalls.size(), 1u);
    EXPECT_EQ(acceptCalls[0].overlapped, &accept.overlapped);
    EXPECT_EQ(acceptCalls[0].bytes, 5u);
    CStdoutCapture quiet;
    pool.Stop();
}

TEST(WorkerPoolTest, FailedOperationIsDeliveredLikeASuccessfulOne)
{
    CTestTransportOwner owner;
    CRecordingTarget target;
    CIOCPThreadPool pool;
    {
        CStdoutCapture quiet;
        ASSERT_TRUE(pool.Start(1, &owner));
    }
    const platform::SOCKET s = platform::CreateUdpSocket();
    ASSERT_TRUE(owner.GetCompletionPort()->Associate(s, CompletionKeyOf(&target)));
    ASSERT_TRUE(platform::BindSocket(s, {platform::kAnyAddress, 0}));
    platform::OVERLAPPED read{};
    char buffer[16];
    ASSERT_TRUE(platform::StartReceive(s, buffer, sizeof buffer, &read));
    ASSERT_TRUE(platform::CloseSocket(s));
    const auto calls = WaitForCalls(target, 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].overlapped, &read);
    EXPECT_EQ(calls[0].bytes, 0u);
    uint32_t bytes = 1;
    EXPECT_FALSE(platform::GetOverlappedResult(read, &bytes));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kErrorOperationAborted);
    CStdoutCapture quiet;
    pool.Stop();
}

TEST(WorkerPoolTest, EveryPostedCompletionIsDeliveredOnceAcrossWorkers)
{
    CTestTransportOwner owner;
    CRecordingTarget target;
    CIOCPThreadPool pool;
    {
        CStdoutCapture quiet;
        ASSERT_TRUE(pool.Start(4, &owner));
    }
    constexpr uint32_t kPackets = 2000;
    std::vector<platform::OVERLAPPED> ovs(kPackets);
    for (uint32_t i = 0; i < kPackets; ++i)
        owner.GetCompletionPort()->Post(CompletionKeyOf(&target), &ovs[i], i);
    const auto calls = WaitForCalls(target, kPackets);
    ASSERT_EQ(calls.size(), kPackets);
    std::set<uint32_t> seen;
    for (const auto& call : calls)
        seen.insert(call.bytes);
    EXPECT_EQ(seen.size(), kPackets); // each exactly once
    CStdoutCapture quiet;
    pool.Stop();
}
