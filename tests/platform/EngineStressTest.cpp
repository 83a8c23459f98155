// Many connections through one port and several workers: every request must reach its
// connection once and in order, and every answer must come back whole and in order.

#include "platform/CompletionPort.h"
#include "platform/OverlappedSocket.h"
#include "platform/Socket.h"
#include "support/PlainSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kConnections = 50;
constexpr int kWorkers = 4;
constexpr uint32_t kExchanges = 1000;
constexpr uint32_t kRequestSize = 13;
constexpr uint32_t kAnswerSize = 4096;
constexpr uintptr_t kListenKey = 1;
constexpr uint32_t kAddressArea = 32;

void FillAnswer(uint8_t* answer, uint32_t connection, uint32_t seq)
{
    std::memcpy(answer, &connection, 4);
    std::memcpy(answer + 4, &seq, 4);
    for (uint32_t i = 8; i < kAnswerSize; ++i)
        answer[i] = static_cast<uint8_t>(connection * 31 + seq * 7 + i);
}

class CServerConnection;

struct Context {
    platform::OVERLAPPED ov;
    CServerConnection* owner;
};

// The server end of one connection, driven only by completions.
class CServerConnection {
public:
    CServerConnection(uint32_t index, platform::SOCKET s) : m_nIndex(index), m_socket(s)
    {
        m_read.owner = m_send.owner = this;
    }

    bool PostAccept(platform::SOCKET listener)
    {
        return platform::StartAccept(listener, m_socket, m_buffer, kRequestSize, kAddressArea, &m_read.ov);
    }

    /// Worker threads; the accept and the reads never overlap, sends run beside them.
    void OnComplete(platform::OVERLAPPED* ov, uint32_t bytes, uint32_t result)
    {
        if (ov == &m_send.ov)
            return OnSent(bytes, result);
        if (result != 0 || bytes == 0) {
            m_bEnded = true; // the client closes after its last exchange
            return;
        }
        m_request.insert(m_request.end(), m_buffer, m_buffer + bytes);
        while (m_request.size() >= kRequestSize) {
            uint32_t connection, seq;
            std::memcpy(&connection, m_request.data(), 4);
            std::memcpy(&seq, m_request.data() + 4, 4);
            if (connection != m_nIndex || seq != m_nNextSeq)
                m_nErrors.fetch_add(1);
            ++m_nNextSeq;
            m_request.erase(m_request.begin(), m_request.begin() + kRequestSize);
            Answer(seq);
        }
        if (!platform::StartReceive(m_socket, m_buffer, sizeof m_buffer, &m_read.ov))
            m_nErrors.fetch_add(1);
    }

    platform::SOCKET Socket() const { return m_socket; }
    uint32_t Requests() const { return m_nNextSeq; }
    bool Ended() const { return m_bEnded; }
    static int Errors() { return m_nErrors.load(); }

private:
    void Answer(uint32_t seq)
    {
        std::lock_guard lock(m_mutex);
        if (m_bSending) {
            m_nQueued.push_back(seq); // the client waits, so this is rare and short
            return;
        }
        StartSendLocked(seq);
    }

    void StartSendLocked(uint32_t seq)
    {
        m_bSending = true;
        FillAnswer(m_answer, m_nIndex, seq);
        if (!platform::StartSend(m_socket, m_answer, kAnswerSize, &m_send.ov))
            m_nErrors.fetch_add(1);
    }

    void OnSent(uint32_t bytes, uint32_t result)
    {
        if (result != 0 || bytes != kAnswerSize)
            m_nErrors.fetch_add(1);
        std::lock_guard lock(m_mutex);
        m_bSending = false;
        if (!m_nQueued.empty()) {
            const uint32_t seq = m_nQueued.front();
            m_nQueued.erase(m_nQueued.begin());
            StartSendLocked(seq);
        }
    }

    const uint32_t m_nIndex;
    const platform::SOCKET m_socket;
    Context m_read{};
    Context m_send{};
    uint8_t m_buffer[kRequestSize + 2 * kAddressArea]{};
    std::vector<uint8_t> m_request;
    uint32_t m_nNextSeq = 0;
    std::atomic<bool> m_bEnded{false};
    std::mutex m_mutex;
    bool m_bSending = false; // guarded by m_mutex
    std::vector<uint32_t> m_nQueued; // guarded by m_mutex
    uint8_t m_answer[kAnswerSize]{};
    static inline std::atomic<int> m_nErrors{0};
};

void RunWorker(platform::CompletionPort& port)
{
    platform::CompletionPacket packet;
    while (port.Dequeue(packet, platform::kInfinite) && packet.key != 0) {
        // Accepts complete under the listener's key: the owner sits behind the OVERLAPPED.
        auto* target = packet.key == kListenKey ? reinterpret_cast<Context*>(packet.overlapped)->owner
                                                : reinterpret_cast<CServerConnection*>(packet.key);
        target->OnComplete(packet.overlapped, packet.bytes, packet.result);
    }
}

// All clients in one thread: each sends a request, waits for its whole answer, checks it.
bool RunClients(uint16_t port, std::string* failure)
{
    std::vector<CPlainSocket> clients;
    std::vector<pollfd> fds;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(CPlainSocket::ConnectTcp(port));
        fds.push_back({static_cast<decltype(pollfd::fd)>(clients.back().Fd()), POLLIN, 0});
    }
    std::vector<uint32_t> seq(kConnections, 0), have(kConnections, 0);
    std::vector<std::vector<uint8_t>> answers(kConnections, std::vector<uint8_t>(kAnswerSize));
    uint8_t expected[kAnswerSize];
    auto sendRequest = [&](int i) {
        uint8_t request[kRequestSize]{};
        std::memcpy(request, &i, 4);
        std::memcpy(request + 4, &seq[i], 4);
        return clients[i].SendAll(request, kRequestSize);
    };
    for (int i = 0; i < kConnections; ++i)
        if (!sendRequest(i))
            return *failure = "send failed", false;
    int finished = 0;
    while (finished < kConnections) {
        const int ready = SystemPoll(fds.data(), static_cast<unsigned>(fds.size()), 10000);
        if (ready <= 0)
            return *failure = "no answer within 10 s: lost data", false;
        for (int i = 0; i < kConnections; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            const auto n = SystemReceive(static_cast<int>(fds[i].fd), answers[i].data() + have[i], kAnswerSize - have[i]);
            if (n <= 0)
                return *failure = "connection ended early", false;
            have[i] += static_cast<uint32_t>(n);
            if (have[i] < kAnswerSize)
                continue;
            FillAnswer(expected, static_cast<uint32_t>(i), seq[i]);
            if (std::memcmp(expected, answers[i].data(), kAnswerSize) != 0)
                return *failure = "answer " + std::to_string(seq[i]) + " of " + std::to_string(i) + " is wrong", false;
            have[i] = 0;
            if (++seq[i] == kExchanges) {
                ++finished;
                fds[i].fd = -fds[i].fd - 1; // poll skips it from now on
            } else if (!sendRequest(i)) {
                return *failure = "send failed", false;
            }
        }
    }
    return true;
}

} // namespace

TEST(EngineStressTest, FiftyConnectionsFourWorkersThousandExchangesEach)
{
    auto port = platform::CompletionPort::Create();
    ASSERT_TRUE(port);
    const platform::SOCKET listener = platform::CreateTcpSocket();
    ASSERT_TRUE(port->Associate(listener, kListenKey));
    ASSERT_TRUE(platform::BindSocket(listener, {htonl(INADDR_LOOPBACK), 0}));
    ASSERT_TRUE(platform::ListenSocket(listener));
    platform::SocketAddressV4 local;
    ASSERT_TRUE(platform::GetLocalAddress(listener, &local));

    std::vector<std::unique_ptr<CServerConnection>> connections;
    for (uint32_t i = 0; i < kConnections; ++i) {
        const platform::SOCKET s = platform::CreateTcpSocket();
        connections.push_back(std::make_unique<CServerConnection>(i, s));
        ASSERT_TRUE(port->Associate(s, reinterpret_cast<uintptr_t>(connections.back().get())));
        ASSERT_TRUE(connections.back()->PostAccept(listener));
    }
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&] { RunWorker(*port); });

    std::string failure;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(RunClients(local.port, &failure)) << failure;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d exchanges in %.2f s\n", kConnections * kExchanges, seconds);

    // The clients are gone: every connection sees its end before the workers are told to stop.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (auto& c : connections)
        while (!c->Ended() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int w = 0; w < kWorkers; ++w)
        port->Post(0, nullptr, 0);
    for (auto& t : workers)
        t.join();

    EXPECT_EQ(CServerConnection::Errors(), 0);
    for (uint32_t i = 0; i < kConnections; ++i) {
        EXPECT_EQ(connections[i]->Requests(), kExchanges) << "connection " << i;
        EXPECT_TRUE(connections[i]->Ended()) << "connection " << i;
    }
    platform::CloseSocket(listener);
    for (auto& c : connections)
        platform::CloseSocket(c->Socket());
}
