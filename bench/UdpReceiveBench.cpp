// How fast CUDP_Receiver takes 4096-byte multicast datagrams off its socket and hands them to a
// counting callback, against a plain blocking recvfrom loop on a socket with the same 8 MiB
// receive buffer. Each round holds the reader back while a plain sender on the loopback fills
// the socket's buffer with a burst, then lets it go and times the drain: the rate is what
// arrived divided by the time from the release to the last arrival. The kernel drops what the
// buffer cannot hold, so the counts show the burst each reader got.
// Run inside the test namespace: scripts/netns-run build/bench/udp_receive_bench

#include "net/client/UDP_Receiver.h"
#include "support/Ipv4.h"
#include "support/PlainSocket.h"
#include "support/StandInMulticast.h"
#include "support/StdoutCapture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kGroup = Ipv4(239, 255, 42, 1);
const char* const kGroupText = "239.255.42.1";
const uint32_t kServer = Ipv4(127, 0, 0, 1);
constexpr uint32_t kDatagramSize = 4096;
constexpr int kBurst = 4000; // more than an 8 MiB buffer holds
constexpr int kRounds = 20;
constexpr int kReceiveBuffer = 8 << 20;

// Arrivals after the release, counted on the receiving thread; read once the round has ended.
struct Arrivals {
    std::atomic<int> count{0};
    Clock::time_point release;
    Clock::time_point last;

    void Count()
    {
        last = Clock::now();
        count.fetch_add(1);
    }
};

struct Result {
    double perSecond = 0;
    int arrived = 0;
};

Result Measure(const Arrivals& arrivals)
{
    const double seconds = std::chrono::duration<double>(arrivals.last - arrivals.release).count();
    return {seconds > 0 ? arrivals.count / seconds : 0, arrivals.count.load()};
}

void SendBurst(uint16_t port, int count)
{
    CStandInMulticast sender;
    const std::string datagram(kDatagramSize, 's');
    for (int i = 0; i < count; ++i)
        sender.SendTo(kGroup, port, datagram);
}

Result PlainLoop(uint16_t port)
{
    CPlainSocket socket = CPlainSocket::BindUdp(port);
    if (setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    const timeval quiet{0, 200000}; // the drain is over when nothing comes for this long
    setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    socket.JoinGroup(kGroupText);
    SendBurst(port, kBurst);
    Arrivals arrivals;
    arrivals.release = Clock::now();
    char buffer[65536];
    while (recvfrom(socket.Fd(), buffer, sizeof buffer, 0, nullptr, nullptr) >= 0)
        arrivals.Count();
    return Measure(arrivals);
}

// Holds the receive thread in the first callback until the burst has been sent.
class CCountingOwner : public IUDPPacketsReceiver {
public:
    void OnUDPAsyncError(uint32_t) override {}
    void OnUDPPktReceived(const uint8_t*, uint32_t) override
    {
        if (m_bHeld.exchange(false)) {
            m_entered.set_value();
            m_release.get_future().wait();
            return;
        }
        arrivals.Count();
    }

    void WaitUntilHeld() { m_entered.get_future().wait(); }
    void Release()
    {
        arrivals.release = Clock::now();
        m_release.set_value();
    }
    /// Waits until nothing has arrived for 200 ms.
    void WaitForQuiet()
    {
        int seen = -1;
        while (seen != arrivals.count.load()) {
            seen = arrivals.count.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    Arrivals arrivals;

private:
    std::atomic<bool> m_bHeld{true};
    std::promise<void> m_entered;
    std::promise<void> m_release;
};

Result ThroughReceiver(uint16_t port)
{
    CCountingOwner owner;
    CUDP_Receiver receiver;
    receiver.Init(kGroup, port, kServer, &owner);
    if (receiver.Start() != 0)
        return {};
    SendBurst(port, 1);
    owner.WaitUntilHeld();
    SendBurst(port, kBurst);
    owner.Release();
    owner.WaitForQuiet();
    CStdoutCapture quiet; // the lock monitor's line about the ended thread
    receiver.Stop();
    return Measure(owner.arrivals);
}

} // namespace

// Rounds alternate between the baseline and the receiver, so that both see the same machine
// load; the best round of each counts.
int main()
{
    const uint16_t port = CPlainSocket::BindUdp(0).LocalPort();
    std::printf("%u-byte datagrams to %s: bursts of %d into an 8 MiB buffer, best of %d rounds\n", kDatagramSize,
                kGroupText, kBurst, kRounds);
    Result plain, subject;
    for (int round = 0; round < kRounds; ++round) {
        const Result p = PlainLoop(port);
        const Result s = ThroughReceiver(port);
        if (p.perSecond > plain.perSecond)
            plain = p;
        if (s.perSecond > subject.perSecond)
            subject = s;
    }
    const double ratio = plain.perSecond > 0 ? subject.perSecond / plain.perSecond : 0;
    std::printf("plain recvfrom loop  %9.0f/s  (%d of %d arrived)\n", plain.perSecond, plain.arrived, kBurst);
    std::printf("CUDP_Receiver        %9.0f/s  (%d of %d arrived)  ratio %.2f\n", subject.perSecond, subject.arrived,
                kBurst, ratio);
    return ratio >= 0.8 ? 0 : 1;
}
