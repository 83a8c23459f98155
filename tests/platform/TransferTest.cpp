#include "EngineFixture.h"

#include "platform/SocketError.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uintptr_t kKey = 9;

enum class Path { AtOnce, Parks };

std::vector<uint8_t> Pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 12));
    return data;
}

/// Reads exactly `size` bytes from the peer on another thread.
std::future<std::vector<uint8_t>> ReadAsync(CPlainSocket& peer, size_t size)
{
    return std::async(std::launch::async, [&peer, size] {
        std::vector<uint8_t> data(size);
        if (!peer.ReceiveExact(data.data(), size, 10000))
            data.clear();
        return data;
    });
}

class TransferTest : public CEngineFixture, public ::testing::WithParamInterface<Path> {};

} // namespace

TEST_P(TransferTest, ReceiveCompletesWithTheBytesSent)
{
    CPlainSocket peer;
    const platform::SOCKET s = Connected(kKey, &peer);
    if (GetParam() == Path::AtOnce) {
        ASSERT_TRUE(peer.SendAll("abc")); // loopback delivers before send returns
    }
    platform::OVERLAPPED ov{};
    char buffer[100];
    ASSERT_TRUE(platform::StartReceive(s, buffer, sizeof buffer, &ov));
    if (GetParam() == Path::Parks) {
        ASSERT_TRUE(Quiet(100));
        ASSERT_TRUE(peer.SendAll("abc"));
    }
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.key, kKey);
    EXPECT_EQ(packet.overlapped, &ov);
    EXPECT_EQ(packet.result, 0u);
    ASSERT_EQ(packet.bytes, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_TRUE(Quiet(20));
}

TEST_P(TransferTest, SendCompletesWithAllItsBytes)
{
    CPlainSocket peer;
    const platform::SOCKET s = Connected(kKey, &peer);
    // Larger than both socket buffers together, so that the parking path must carry it.
    const size_t size = GetParam() == Path::Parks ? 24u << 20 : 1000u;
    const std::vector<uint8_t> data = Pattern(size, 3);
    platform::OVERLAPPED ov{};
    ASSERT_TRUE(platform::StartSend(s, data.data(), static_cast<uint32_t>(size), &ov));
    if (GetParam() == Path::Parks) {
        ASSERT_TRUE(Quiet(200)); // the peer reads nothing yet
    }
    auto received = ReadAsync(peer, size);
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.overlapped, &ov);
    EXPECT_EQ(packet.result, 0u);
    EXPECT_EQ(packet.bytes, size);
    EXPECT_TRUE(received.get() == data);
}

TEST_P(TransferTest, PeerEndCompletesAReceiveWithZeroBytes)
{
    CPlainSocket peer;
    const platform::SOCKET s = Connected(kKey, &peer);
    if (GetParam() == Path::AtOnce)
        peer.Close();
    platform::OVERLAPPED ov{};
    char buffer[16];
    ASSERT_TRUE(platform::StartReceive(s, buffer, sizeof buffer, &ov));
    if (GetParam() == Path::Parks) {
        ASSERT_TRUE(Quiet(50));
        peer.Close();
    }
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.result, 0u);
    EXPECT_EQ(packet.bytes, 0u);
}

TEST_P(TransferTest, PeerResetFailsAReceiveWithConnectionReset)
{
    CPlainSocket peer;
    const platform::SOCKET s = Connected(kKey, &peer);
    if (GetParam() == Path::AtOnce)
        peer.Reset();
    platform::OVERLAPPED ov{};
    char buffer[16];
    ASSERT_TRUE(platform::StartReceive(s, buffer, sizeof buffer, &ov));
    if (GetParam() == Path::Parks) {
        ASSERT_TRUE(Quiet(50));
        peer.Reset();
    }
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.result, static_cast<uint32_t>(platform::kWsaEConnReset));
    EXPECT_EQ(packet.bytes, 0u);
    uint32_t bytes = 99;
    EXPECT_FALSE(platform::GetOverlappedResult(ov, &bytes));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEConnReset);
    EXPECT_EQ(bytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, TransferTest, ::testing::Values(Path::AtOnce, Path::Parks),
                         [](const auto& info) { return info.param == Path::AtOnce ? "AtOnce" : "Parks"; });

using TransferOrderTest = CEngineFixture;

TEST_F(TransferOrderTest, SendsGoOutAndCompleteInTheOrderTheyWereStarted)
{
    CPlainSocket peer;
    const platform::SOCKET s = Connected(kKey, &peer);
    constexpr int kSends = 24;
    constexpr size_t kChunk = 256 * 1024; // the first few fill the buffers, the rest queue up
    std::vector<std::vector<uint8_t>> chunks;
    for (int i = 0; i < kSends; ++i)
        chunks.push_back(Pattern(kChunk, static_cast<uint8_t>(i * 31)));
    std::vector<platform::OVERLAPPED> ovs(kSends);
    for (int i = 0; i < kSends; ++i)
        ASSERT_TRUE(platform::StartSend(s, chunks[i].data(), kChunk, &ovs[i]));
    auto received = ReadAsync(peer, kSends * kChunk);
    for (int i = 0; i < kSends; ++i) {
        const platform::CompletionPacket packet = Next();
        ASSERT_EQ(packet.overlapped, &ovs[i]);
        EXPECT_EQ(packet.bytes, kChunk);
    }
    const std::vector<uint8_t> all = received.get();
    ASSERT_EQ(all.size(), kSends * kChunk);
    for (int i = 0; i < kSends; ++i)
        ASSERT_EQ(std::memcmp(all.data() + i * kChunk, chunks[i].data(), kChunk), 0) << "chunk " << i;
    EXPECT_TRUE(Quiet(20));
}

TEST_F(TransferOrderTest, ASocketThatDrainedParksAndCompletesItsNextSendAgain)
{
    CPlainSocket peer;
    const platform::SOCKET s = Connected(kKey, &peer);
    // A fixed receive buffer keeps the peer's window from growing over the rounds.
    const int window = 64 << 10;
    ASSERT_EQ(SystemSetOption(peer.Fd(), SOL_SOCKET, SO_RCVBUF, window), 0);
    // Each round fills both socket buffers while the peer reads nothing, so the send parks;
    // between rounds the acknowledgements of the drained data reach the idle socket.
    for (uint8_t round = 0; round < 3; ++round) {
        const size_t size = 16u << 20;
        const std::vector<uint8_t> data = Pattern(size, round);
        platform::OVERLAPPED ov{};
        ASSERT_TRUE(platform::StartSend(s, data.data(), static_cast<uint32_t>(size), &ov));
        ASSERT_TRUE(Quiet(200));
        auto received = ReadAsync(peer, size);
        const platform::CompletionPacket packet = Next();
        EXPECT_EQ(packet.overlapped, &ov);
        EXPECT_EQ(packet.bytes, size);
        EXPECT_TRUE(received.get() == data) << "round " << int(round);
        ASSERT_TRUE(Quiet(50));
    }
}

TEST_F(TransferOrderTest, SuccessiveReceivesReadTheStreamInOrder)
{
    CPlainSocket peer;
    const platform::SOCKET s = Connected(kKey, &peer);
    const std::vector<uint8_t> data = Pattern(3 << 20, 11);
    std::thread writer([&] { peer.SendAll(data.data(), data.size()); });
    std::vector<uint8_t> got;
    platform::OVERLAPPED ov{};
    uint8_t buffer[51200];
    while (got.size() < data.size()) {
        ASSERT_TRUE(platform::StartReceive(s, buffer, sizeof buffer, &ov));
        const platform::CompletionPacket packet = Next();
        ASSERT_EQ(packet.result, 0u);
        ASSERT_GT(packet.bytes, 0u);
        got.insert(got.end(), buffer, buffer + packet.bytes);
    }
    writer.join();
    EXPECT_TRUE(got == data);
}

TEST_F(TransferOrderTest, CloseCompletesEveryOutstandingOperationWithAbortedOnce)
{
    CPlainSocket peer;
    const platform::SOCKET s = Connected(kKey, &peer);
    platform::OVERLAPPED read{};
    char buffer[64];
    ASSERT_TRUE(platform::StartReceive(s, buffer, sizeof buffer, &read));
    const std::vector<uint8_t> big = Pattern(16 << 20, 1);
    platform::OVERLAPPED sends[3]{};
    for (auto& ov : sends)
        ASSERT_TRUE(platform::StartSend(s, big.data(), static_cast<uint32_t>(big.size()), &ov));
    ASSERT_TRUE(Quiet(100)); // all parked: the peer reads nothing
    ASSERT_TRUE(platform::CloseSocket(s));

    std::vector<platform::OVERLAPPED*> done;
    for (int i = 0; i < 4; ++i) {
        const platform::CompletionPacket packet = Next();
        EXPECT_EQ(packet.key, kKey);
        EXPECT_EQ(packet.result, static_cast<uint32_t>(platform::kErrorOperationAborted));
        EXPECT_EQ(packet.bytes, 0u);
        done.push_back(packet.overlapped);
    }
    std::sort(done.begin(), done.end());
    std::vector<platform::OVERLAPPED*> expected{&read, &sends[0], &sends[1], &sends[2]};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(done, expected);
    EXPECT_TRUE(Quiet(100));
    // The closed handle is gone for good.
    EXPECT_FALSE(platform::StartReceive(s, buffer, sizeof buffer, &read));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaENotSock);
}

TEST_F(TransferOrderTest, RefusesASecondReceiveAndSocketsWithoutAPort)
{
    CPlainSocket peer;
    const platform::SOCKET s = Connected(kKey, &peer);
    platform::OVERLAPPED first{}, second{};
    char buffer[8];
    ASSERT_TRUE(platform::StartReceive(s, buffer, sizeof buffer, &first));
    EXPECT_FALSE(platform::StartReceive(s, buffer, sizeof buffer, &second));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEInval);
    EXPECT_FALSE(platform::StartSend(s, nullptr, 5, &second));
    EXPECT_EQ(platform::GetLastSocketError(), 10014);

    const platform::SOCKET loose = Track(platform::CreateUdpSocket());
    EXPECT_FALSE(platform::StartSendTo(loose, "x", 1, {htonl(INADDR_LOOPBACK), 9}, &second));
    EXPECT_EQ(platform::GetLastSocketError(), platform::kWsaEInval);
    EXPECT_FALSE(m_port->Associate(s, 5)); // once per socket
    EXPECT_TRUE(Quiet(50));
    ASSERT_TRUE(platform::CloseSocket(s)); // the first receive must end before its context
    EXPECT_EQ(Next().overlapped, &first);
}

TEST_F(TransferOrderTest, SendToDeliversOneDatagramEach)
{
    CPlainSocket receiver = CPlainSocket::BindUdp(0);
    ASSERT_TRUE(receiver.Valid());
    const platform::SOCKET s = Track(platform::CreateUdpSocket());
    ASSERT_TRUE(m_port->Associate(s, kKey));
    const platform::SocketAddressV4 to{htonl(INADDR_LOOPBACK), receiver.LocalPort()};
    platform::OVERLAPPED ov{};
    const std::vector<uint8_t> datagram = Pattern(4096, 5);
    ASSERT_TRUE(platform::StartSendTo(s, datagram.data(), 4096, to, &ov));
    EXPECT_EQ(Next().bytes, 4096u);
    std::vector<uint8_t> got(65536);
    ASSERT_EQ(receiver.ReceiveSome(got.data(), got.size(), kWaitMs), 4096);
    got.resize(4096);
    EXPECT_TRUE(got == datagram);

    // One byte over the largest datagram fails in its completion, not in the call.
    const std::vector<uint8_t> huge(platform::kMaxUdpMessageSize + 1);
    ASSERT_TRUE(platform::StartSendTo(s, huge.data(), static_cast<uint32_t>(huge.size()), to, &ov));
    const platform::CompletionPacket packet = Next();
    EXPECT_EQ(packet.result, 10040u); // WSAEMSGSIZE
    EXPECT_EQ(packet.bytes, 0u);
}

TEST_F(TransferOrderTest, CloseDuringALargeSendEndsItsUseOfTheBuffer)
{
    // The peer drains while the reactor keeps sending from the buffer; the buffer is freed the
    // moment the close returns (AddressSanitizer reports a send that still reads it).
    for (int round = 0; round < 10; ++round) {
        CPlainSocket peer;
        const platform::SOCKET s = Connected(kKey, &peer);
        constexpr size_t kSize = 32u << 20;
        auto data = std::make_unique<uint8_t[]>(kSize);
        std::memset(data.get(), round, kSize);
        platform::OVERLAPPED ov{};
        ASSERT_TRUE(platform::StartSend(s, data.get(), kSize, &ov));
        std::atomic<size_t> drained{0};
        std::thread reader([&] {
            std::vector<uint8_t> sink(1 << 16);
            ssize_t n;
            while ((n = peer.ReceiveSome(sink.data(), sink.size(), 10000)) > 0)
                drained.fetch_add(static_cast<size_t>(n));
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (drained.load() < (1u << 20) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_TRUE(platform::CloseSocket(s));
        data.reset();
        platform::CompletionPacket packet;
        ASSERT_TRUE(m_port->Dequeue(packet, 0)) << "the send outlived the close";
        EXPECT_EQ(packet.overlapped, &ov);
        EXPECT_TRUE(packet.result == platform::kErrorOperationAborted || packet.bytes == kSize) << packet.result;
        reader.join();
    }
}

TEST_F(TransferOrderTest, CloseDuringAReceiveEndsItsUseOfTheBuffer)
{
    // The byte arrives as the socket is closed, so the reactor is often inside recv on the
    // buffer then; the buffer is freed the moment the close returns.
    for (int round = 0; round < 50; ++round) {
        CPlainSocket peer;
        const platform::SOCKET s = Connected(kKey, &peer);
        auto buffer = std::make_unique<uint8_t[]>(1 << 16);
        platform::OVERLAPPED ov{};
        ASSERT_TRUE(platform::StartReceive(s, buffer.get(), 1 << 16, &ov));
        std::thread writer([&] { peer.SendAll("b"); });
        ASSERT_TRUE(platform::CloseSocket(s));
        buffer.reset();
        platform::CompletionPacket packet;
        ASSERT_TRUE(m_port->Dequeue(packet, 0)) << "the receive outlived the close, round " << round;
        EXPECT_EQ(packet.overlapped, &ov);
        EXPECT_TRUE(packet.result == platform::kErrorOperationAborted || packet.bytes == 1) << packet.result;
        writer.join();
    }
}
