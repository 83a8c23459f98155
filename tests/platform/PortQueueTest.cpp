#include "platform/CompletionPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
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
    // A worker's own post wakes nobody (it takes the packet when it comes back), so it must
    // still reach an idle worker once anything else is posted while the first stays busy.
    auto port = NewPort();
    std::promise<void> gotFirst, mayPost, release;
    std::thread busy([&] {
        platform::CompletionPacket packet;
        ASSERT_TRUE(port->Dequeue(packet, 10000));
        gotFirst.set_value();
        mayPost.get_future().wait();
        port->Post(2, nullptr, 0); // while still handling packet 1
        release.get_future().wait();
    });
    port->Post(1, nullptr, 0);
    gotFirst.get_future().wait();

    std::atomic<uintptr_t> takenByOthers{0};
    std::vector<std::thread> idle;
    for (int i = 0; i < 2; ++i)
        idle.emplace_back([&] {
            platform::CompletionPacket packet;
            while (port->Dequeue(packet, 10000) && packet.key != 0)
                takenByOthers.fetch_add(packet.key);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let them fall asleep
    mayPost.set_value();
    port->Post(3, nullptr, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (takenByOthers.load() != 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(takenByOthers.load(), 5u); // packets 2 and 3
    release.set_value();
    busy.join();
    port->Post(0, nullptr, 0);
    port->Post(0, nullptr, 0);
    for (auto& t : idle)
        t.join();
}
