// 4096-byte datagrams per second through CIOCPClientMulticast (2 workers) against a plain
// blocking sendto loop, both to a multicast group on the loopback, with a receiver that
// counts what arrived.
// Run inside the test namespace: scripts/netns-run build/bench/multicast_send_bench

#include "net/server/IOCPClientMulticast.h"
#include "net/server/IOCPThreadPool.h"
#include "platform/CompletionPort.h"
#include "platform/Inet.h"
#include "support/PlainSocket.h"
#include "support/StdoutCapture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr const char* kGroup = "239.255.41.1";
constexpr uint32_t kDatagramSize = 4096;
constexpr int kDatagrams = 50000; // per round
constexpr int kRounds = 5;
constexpr uint32_t kWorkers = 2;

class COwner : public IIOCP_TransportOwner {
public:
    COwner() : m_port(platform::CompletionPort::Create()) {}
    platform::CompletionPort* GetCompletionPort() override { return m_port.get(); }
    bool IsExiting() const override { return false; }

private:
    std::unique_ptr<platform::CompletionPort> m_port;
};

uint32_t Address(const char* text)
{
    uint32_t address = 0;
    platform::ParseIPv4Address(text, address);
    return address;
}

// Counts the datagrams of the group until told to stop.
class CCounter {
public:
    explicit CCounter(uint16_t port) : m_socket(CPlainSocket::BindUdp(port))
    {
        int size = 32 << 20;
        setsockopt(m_socket.Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        m_socket.JoinGroup(kGroup);
        m_thread = std::thread([this] {
            char buffer[65536];
            while (!m_bStop.load() || m_socket.WaitReadable(50))
                if (m_socket.ReceiveSome(buffer, sizeof buffer, 50) > 0)
                    m_nCount.fetch_add(1);
        });
    }
    /// Waits for the stragglers, then returns the count.
    int Finish()
    {
        m_bStop.store(true);
        m_thread.join();
        return m_nCount.load();
    }

private:
    CPlainSocket m_socket;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nCount{0};
    std::thread m_thread;
};

struct Result {
    double perSecond;
    int arrived;
};

Result PlainLoop(uint16_t port)
{
    CCounter counter(port);
    CPlainSocket s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    in_addr loopback{htonl(INADDR_LOOPBACK)};
    setsockopt(s.Fd(), IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    sockaddr_in to = CPlainSocket::Loopback(port);
    to.sin_addr.s_addr = Address(kGroup);
    std::vector<char> datagram(kDatagramSize, 'p');
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kDatagrams; ++i)
        sendto(s.Fd(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {kDatagrams / seconds, counter.Finish()};
}

Result ThroughSender(uint16_t port)
{
    CCounter counter(port);
    COwner owner;
    CIOCPThreadPool pool;
    CIOCPClientMulticast sender;
    {
        CStdoutCapture quiet;
        pool.Start(kWorkers, &owner);
    }
    sender.Init(&owner);
    sender.Start(Address("127.0.0.1"), port);
    CUDPBuffRef datagram = MakeUDPBuff(kDatagramSize);
    datagram->SetSize(kDatagramSize);
    datagram->SetTag(Address(kGroup));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kDatagrams; ++i)
        sender.SendData(datagram.Get());
    while (datagram->GetRefCount() != 1) // the last send has completed
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sender.Stop();
    {
        CStdoutCapture quiet;
        pool.Stop();
    }
    return {kDatagrams / seconds, counter.Finish()};
}

} // namespace

// Rounds alternate between baseline and sender so that both see the same machine load; the
// best round of each counts.
int main()
{
    const uint16_t port = CPlainSocket::BindUdp(0).LocalPort();
    std::printf("%u-byte datagrams to %s, best of %d rounds of %d\n", kDatagramSize, kGroup, kRounds, kDatagrams);
    Result plain{0, 0}, sender{0, 0};
    for (int round = 0; round < kRounds; ++round) {
        const Result p = PlainLoop(port);
        const Result s = ThroughSender(port);
        if (p.perSecond > plain.perSecond)
            plain = p;
        if (s.perSecond > sender.perSecond)
            sender = s;
    }
    const double ratio = sender.perSecond / plain.perSecond;
    std::printf("plain sendto loop     %9.0f/s  (%d of %d arrived)\n", plain.perSecond, plain.arrived, kDatagrams);
    std::printf("CIOCPClientMulticast  %9.0f/s  (%d of %d arrived)  ratio %.2f\n", sender.perSecond, sender.arrived,
                kDatagrams, ratio);
    return ratio >= 0.5 ? 0 : 1;
}
