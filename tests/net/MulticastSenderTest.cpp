#include "TestTransportOwner.h"

#include "net/server/IOCPClientMulticast.h"
#include "net/server/IOCPThreadPool.h"
#include "platform/Inet.h"
#include "Subsidiary/NetErrors.h"
#include "support/PlainSocket.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kGroup = "239.255.40.1";
constexpr const char* kOtherGroup = "239.255.40.2";
constexpr int kWaitMs = 10000;

uint32_t Address(const char* text)
{
    uint32_t address = 0;
    EXPECT_TRUE(platform::ParseIPv4Address(text, address));
    return address;
}

CUDPBuffRef Datagram(const std::string& text, const char* group = kGroup, uint32_t size = 0)
{
    CUDPBuffRef buffer = MakeUDPBuff(size != 0 ? size : 4096);
    buffer->PutBytes(text.data(), static_cast<uint32_t>(text.size()));
    if (size != 0)
        buffer->SetSize(size);
    buffer->SetTag(Address(group));
    return buffer;
}

class MulticastSenderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_receiver = CPlainSocket::BindUdp(0);
        ASSERT_TRUE(m_receiver.JoinGroup(kGroup));
        m_nPort = m_receiver.LocalPort();
        ASSERT_TRUE(m_sender.Init(&m_owner));
    }

    void TearDown() override
    {
        m_sender.Stop();
        CStdoutCapture quiet;
        m_pool.Stop();
    }

    void StartPool()
    {
        CStdoutCapture quiet;
        ASSERT_TRUE(m_pool.Start(2, &m_owner));
    }

    uint32_t StartSender() { return m_sender.Start(Address("127.0.0.1"), m_nPort); }

    static std::string Receive(CPlainSocket& socket, int timeoutMs = kWaitMs)
    {
        char buffer[65536];
        const ssize_t n = socket.ReceiveSome(buffer, sizeof buffer, timeoutMs);
        return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<size_t>(n));
    }

    /// Waits, bounded, until the sender holds no reference on the buffer any more.
    static bool SoleOwner(const CUDPBuffRef& buffer)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (buffer->GetRefCount() != 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return buffer->GetRefCount() == 1;
    }

    CTestTransportOwner m_owner;
    CIOCPThreadPool m_pool;
    CIOCPClientMulticast m_sender;
    CPlainSocket m_receiver;
    uint16_t m_nPort = 0;
};

} // namespace

TEST_F(MulticastSenderTest, RefusesBeforeStartWhileExitingAndAboveTheMaximumSize)
{
    CUDPBuffRef buffer = Datagram("early");
    EXPECT_EQ(m_sender.SendData(buffer.Get()), EIOCPE_SERVER_NOT_STARTED);
    StartPool();
    ASSERT_EQ(StartSender(), EIOCPE_SUCCESS);

    CUDPBuffRef tooBig = Datagram("", kGroup, platform::kMaxUdpMessageSize + 1);
    EXPECT_EQ(m_sender.SendData(tooBig.Get()), EIOCPE_UDP_PKT_TOO_BIG);
    EXPECT_EQ(tooBig->GetRefCount(), 1);
    CUDPBuffRef largest = Datagram("L", kGroup, platform::kMaxUdpMessageSize);
    EXPECT_EQ(m_sender.SendData(largest.Get()), EIOCPE_SUCCESS);
    EXPECT_EQ(Receive(m_receiver).size(), platform::kMaxUdpMessageSize);
    EXPECT_TRUE(SoleOwner(largest));

    m_owner.SetExiting(true);
    EXPECT_EQ(m_sender.SendData(buffer.Get()), EIOCPE_EXIT_IN_PROGRESS);
    EXPECT_EQ(buffer->GetRefCount(), 1);
}

TEST_F(MulticastSenderTest, StartWithoutACompletionPortFails)
{
    CTestTransportOwner notStarted(false);
    CIOCPClientMulticast sender;
    ASSERT_TRUE(sender.Init(&notStarted));
    CStdoutCapture capture;
    EXPECT_EQ(sender.Start(Address("127.0.0.1"), m_nPort), EIOCPE_SERVER_NOT_STARTED);
    EXPECT_NE(capture.Take().find("IOCP : ERR : CIOCPClientMulticast::Start() - Completion port not created yet!\r\n"),
              std::string::npos);
}

TEST_F(MulticastSenderTest, BuffersQueuedBehindASendInFlightLeaveInOrder)
{
    ASSERT_EQ(StartSender(), EIOCPE_SUCCESS);
    // No worker runs yet: the first send's completion waits in the port, so the others queue.
    std::vector<CUDPBuffRef> buffers;
    for (const char* text : {"first", "second", "third", "fourth"}) {
        buffers.push_back(Datagram(text));
        EXPECT_EQ(m_sender.SendData(buffers.back().Get()), EIOCPE_SUCCESS);
        EXPECT_EQ(buffers.back()->GetRefCount(), 2);
    }
    EXPECT_EQ(Receive(m_receiver), "first");
    EXPECT_EQ(Receive(m_receiver, 100), "<nothing>"); // one datagram in flight at a time
    StartPool();
    EXPECT_EQ(Receive(m_receiver), "second");
    EXPECT_EQ(Receive(m_receiver), "third");
    EXPECT_EQ(Receive(m_receiver), "fourth");
    for (const CUDPBuffRef& buffer : buffers)
        EXPECT_TRUE(SoleOwner(buffer));
}

TEST_F(MulticastSenderTest, EachBufferGoesToTheGroupOfItsTag)
{
    CPlainSocket other = CPlainSocket::BindUdp(m_nPort);
    ASSERT_TRUE(other.JoinGroup(kOtherGroup));
    StartPool();
    ASSERT_EQ(StartSender(), EIOCPE_SUCCESS);
    CUDPBuffRef toOther = Datagram("for the other group", kOtherGroup);
    CUDPBuffRef toFirst = Datagram("for the first group", kGroup);
    ASSERT_EQ(m_sender.SendData(toOther.Get()), EIOCPE_SUCCESS);
    ASSERT_EQ(m_sender.SendData(toFirst.Get()), EIOCPE_SUCCESS);
    EXPECT_EQ(Receive(other), "for the other group");
    EXPECT_EQ(Receive(m_receiver), "for the first group");
    EXPECT_EQ(Receive(other, 100), "<nothing>");
    EXPECT_EQ(Receive(m_receiver, 100), "<nothing>");
}

TEST_F(MulticastSenderTest, StopReleasesTheQueueAndASecondStopDoesNothing)
{
    ASSERT_EQ(StartSender(), EIOCPE_SUCCESS);
    std::vector<CUDPBuffRef> buffers;
    for (const char* text : {"a", "b", "c"}) {
        buffers.push_back(Datagram(text));
        ASSERT_EQ(m_sender.SendData(buffers.back().Get()), EIOCPE_SUCCESS);
    }
    // The server is not exiting: the in-flight send's completion must still release the Stop.
    auto stopped = std::async(std::launch::async, [this] { m_sender.Stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    platform::CompletionPacket packet;
    ASSERT_TRUE(m_owner.GetCompletionPort()->Dequeue(packet, kWaitMs));
    TargetOfKey(packet.key)->OnIoComplete(packet.overlapped, packet.bytes); // a worker's part
    ASSERT_EQ(stopped.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    for (const CUDPBuffRef& buffer : buffers)
        EXPECT_EQ(buffer->GetRefCount(), 1);
    EXPECT_EQ(Receive(m_receiver), "a");
    EXPECT_EQ(Receive(m_receiver, 100), "<nothing>");

    m_sender.Stop();
    EXPECT_EQ(m_sender.SendData(buffers[0].Get()), EIOCPE_SERVER_NOT_STARTED);
    EXPECT_FALSE(m_owner.GetCompletionPort()->Dequeue(packet, 50));
    ASSERT_EQ(StartSender(), EIOCPE_SUCCESS); // and it may start again
}

TEST_F(MulticastSenderTest, SecondStartIsRefusedInsteadOfLeakingTheSocket)
{
    ASSERT_EQ(StartSender(), EIOCPE_SUCCESS);
    EXPECT_EQ(StartSender(), EIOCPE_ALREADY_STARTED);
}
