#include "platform/CompletionPort.h"
#include "platform/OverlappedSocket.h"
#include "support/PlainSocket.h"
#include "support/ThreadState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::unique_ptr<platform::CompletionPort> NewPort()
{
    auto port = platform::CompletionPort::Create();
    EXPECT_TRUE(port);
    return port;
}

} // namespace

TEST(PortQueueTest, PacketsComeOutInOrderAndEachExactlyOnceAcrossWorkers)
{
    auto port = NewPort();
    constexpr int kWorkers = 4;
    constexpr uintptr_t kPackets = 20000;
    std::vector<std::vector<uintptr_t>> seen(kWorkers);
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&, w] {
            platform::CompletionPacket packet;
            while (port->Dequeue(packet, 10000) && packet.key != 0)
                seen[w].push_back(packet.key);
        });
    for (uintptr_t key = 1; key <= kPackets; ++key)
        port->Post(key, nullptr, static_cast<uint32_t>(key));
    for (int w = 0; w < kWorkers; ++w)
        port->Post(0, nullptr, 0);
    for (auto& t : workers)
        t.join();

    std::vector<int> count(kPackets + 1, 0);
    for (const auto& keys : seen) {
        // First in, first out: every worker sees the keys it took in rising order.
        for (size_t i = 1; i < keys.size(); ++i)
            ASSERT_LT(keys[i - 1], keys[i]);
        for (uintptr_t key : keys)
            ++count[key];
    }
    for (uintptr_t key = 1; key <= kPackets; ++key)
        ASSERT_EQ(count[key], 1) << "key " << key;
}

TEST(PortQueueTest, PacketCarriesWhatWasPosted)
{
    auto port = NewPort();
    platform::OVERLAPPED ov{};
    port->Post(77, &ov, 4096);
    platform::CompletionPacket packet;
    ASSERT_TRUE(port->Dequeue(packet, 1000));
    EXPECT_EQ(packet.key, 77u);
    EXPECT_EQ(packet.overlapped, &ov);
    EXPECT_EQ(packet.bytes, 4096u);
    EXPECT_EQ(packet.result, 0u);
}

TEST(PortQueueTest, DequeueTimesOutWithAnEmptyPacket)
{
    auto port = NewPort();
    platform::CompletionPacket packet{5, nullptr, 5, 5};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port->Dequeue(packet, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(packet.key, 0u);
    EXPECT_EQ(packet.overlapped, nullptr);
}

TEST(PortQueueTest, PacketABusyWorkerPostedReachesAnotherWorker)
{
    // The busy worker stays inside its packet; the one it posts meanwhile must wake the worker
    // already asleep in Dequeue long before that worker's own time limit.
    auto port = NewPort();
    std::promise<void> gotFirst, mayPost, release;
    std::thread busy([&] {
        platform::CompletionPacket packet;
        ASSERT_TRUE(port->Dequeue(packet, 10000));
        gotFirst.set_value();
        mayPost.get_future().wait();
        port->Post(2, nullptr, 0);
        release.get_future().wait();
    });
    port->Post(1, nullptr, 0);
    gotFirst.get_future().wait();

    std::promise<ThreadNumber> idleTid;
    std::promise<uintptr_t> taken;
    auto takenKey = taken.get_future();
    std::thread idle([&] {
        idleTid.set_value(CurrentTid());
        platform::CompletionPacket packet;
        port->Dequeue(packet, 30000);
        taken.set_value(packet.key);
    });
    ASSERT_TRUE(WaitUntilAsleep(idleTid.get_future().get(), std::chrono::seconds(10)));
    mayPost.set_value();
    const bool woken = takenKey.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    if (!woken)
        port->Post(0, nullptr, 0); // let it go before failing
    EXPECT_TRUE(woken) << "the packet waited behind the busy worker";
    EXPECT_EQ(takenKey.get(), woken ? 2u : 0u);
    release.set_value();
    busy.join();
    idle.join();
}

TEST(PortQueueTest, PostedPacketsAndCompletionsShareOneOrder)
{
    // A completion and a hand-posted packet come out in the order they went in.
    auto port = NewPort();
    CPlainSocket receiver = CPlainSocket::BindUdp(0);
    const platform::SOCKET s = platform::CreateUdpSocket();
    ASSERT_TRUE(port->Associate(s, 5));
    port->Post(1, nullptr, 0);
    platform::OVERLAPPED ov{};
    ASSERT_TRUE(platform::StartSendTo(s, "x", 1, {htonl(INADDR_LOOPBACK), receiver.LocalPort()}, &ov));
    port->Post(3, nullptr, 0);
    const std::pair<uintptr_t, platform::OVERLAPPED*> expected[] = {{1, nullptr}, {5, &ov}, {3, nullptr}};
    for (const auto& [key, overlapped] : expected) {
        platform::CompletionPacket packet;
        ASSERT_TRUE(port->Dequeue(packet, 10000));
        EXPECT_EQ(packet.key, key);
        EXPECT_EQ(packet.overlapped, overlapped);
    }
    platform::CloseSocket(s);
}
