// Request-response exchanges per second through the completion engine (4 workers) against
// plain blocking sockets with a thread per connection, with the same clients for both:
// 13-byte requests, 4096-byte answers, 1 and 16 connections.
// Run inside the test namespace: scripts/netns-run build/bench/engine_exchange_bench

#include "platform/CompletionPort.h"
#include "platform/OverlappedSocket.h"
#include "platform/Socket.h"
#include "support/PlainSocket.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kRequestSize = 13;
constexpr uint32_t kAnswerSize = 4096;
constexpr int kWorkers = 4;
constexpr uint32_t kAddressArea = 32;
constexpr uintptr_t kListenKey = 1;
constexpr int kTotalExchanges = 16000; // per round
constexpr int kRounds = 7;

// One connection served by completions: receive a whole request, send the answer, repeat.
class CAnswerConnection {
public:
    explicit CAnswerConnection(platform::SOCKET s) : m_socket(s) { m_answer.fill(0x5A); }

    bool PostAccept(platform::SOCKET listener)
    {
        return platform::StartAccept(listener, m_socket, m_buffer, sizeof m_buffer - 2 * kAddressArea, kAddressArea,
                                     &m_read);
    }

    void OnComplete(platform::OVERLAPPED* ov, uint32_t bytes)
    {
        if (ov == &m_send) {
            platform::StartReceive(m_socket, m_buffer, sizeof m_buffer, &m_read);
            return;
        }
        if (bytes == 0)
            return; // the client has gone
        m_nHave += bytes;
        if (m_nHave < kRequestSize) {
            platform::StartReceive(m_socket, m_buffer, sizeof m_buffer, &m_read);
            return;
        }
        m_nHave = 0;
        platform::StartSend(m_socket, m_answer.data(), kAnswerSize, &m_send);
    }

    platform::SOCKET Socket() const { return m_socket; }
    platform::OVERLAPPED* AcceptContext() { return &m_read; }

private:
    const platform::SOCKET m_socket;
    platform::OVERLAPPED m_read{};
    platform::OVERLAPPED m_send{};
    uint8_t m_buffer[4096]{}; // a client sends its next request only after the answer
    uint32_t m_nHave = 0;
    std::array<uint8_t, kAnswerSize> m_answer;
};

class CEngineServer {
public:
    explicit CEngineServer(int connections)
    {
        m_port = platform::CompletionPort::Create();
        m_listener = platform::CreateTcpSocket();
        m_port->Associate(m_listener, kListenKey);
        platform::BindSocket(m_listener, {htonl(INADDR_LOOPBACK), 0});
        platform::ListenSocket(m_listener);
        platform::SocketAddressV4 local;
        platform::GetLocalAddress(m_listener, &local);
        m_nPort = local.port;
        for (int i = 0; i < connections; ++i) {
            m_connections.push_back(std::make_unique<CAnswerConnection>(platform::CreateTcpSocket()));
            CAnswerConnection* c = m_connections.back().get();
            m_port->Associate(c->Socket(), reinterpret_cast<uintptr_t>(c));
            c->PostAccept(m_listener);
        }
        for (int w = 0; w < kWorkers; ++w)
            m_workers.emplace_back([this] { Work(); });
    }

    ~CEngineServer()
    {
        for (int w = 0; w < kWorkers; ++w)
            m_port->Post(0, nullptr, 0);
        for (auto& t : m_workers)
            t.join();
        platform::CloseSocket(m_listener);
        for (auto& c : m_connections)
            platform::CloseSocket(c->Socket());
        m_port.reset();
    }

    uint16_t Port() const { return m_nPort; }

private:
    void Work()
    {
        platform::CompletionPacket p;
        while (m_port->Dequeue(p, platform::kInfinite) && p.key != 0) {
            CAnswerConnection* target = reinterpret_cast<CAnswerConnection*>(p.key);
            if (p.key == kListenKey)
                for (auto& c : m_connections)
                    if (c->AcceptContext() == p.overlapped)
                        target = c.get();
            target->OnComplete(p.overlapped, p.bytes);
        }
    }

    std::unique_ptr<platform::CompletionPort> m_port;
    platform::SOCKET m_listener;
    uint16_t m_nPort = 0;
    std::vector<std::unique_ptr<CAnswerConnection>> m_connections;
    std::vector<std::thread> m_workers;
};

// The baseline: a thread per accepted connection, blocking reads and writes.
class CBlockingServer {
public:
    explicit CBlockingServer(int connections) : m_listener(CPlainSocket::ListenTcp())
    {
        m_acceptor = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                auto conn = std::make_shared<CPlainSocket>(m_listener.Accept(10000));
                m_threads.emplace_back([conn] { Serve(*conn); });
            }
        });
    }

    ~CBlockingServer()
    {
        m_acceptor.join();
        for (auto& t : m_threads)
            t.join();
    }

    uint16_t Port() const { return m_listener.LocalPort(); }

private:
    static void Serve(CPlainSocket& conn)
    {
        uint8_t request[kRequestSize];
        std::array<uint8_t, kAnswerSize> answer;
        answer.fill(0x5A);
        while (conn.ReceiveExact(request, kRequestSize, 10000) && conn.SendAll(answer.data(), kAnswerSize)) {
        }
    }

    CPlainSocket m_listener;
    std::thread m_acceptor;
    std::vector<std::thread> m_threads;
};

// Every connection runs exchanges in its own thread; returns exchanges per second.
double RunClients(uint16_t port, int connections)
{
    const int perConnection = kTotalExchanges / connections;
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < connections; ++i)
        clients.emplace_back([&] {
            CPlainSocket s = CPlainSocket::ConnectTcp(port);
            uint8_t request[kRequestSize] = {};
            std::vector<uint8_t> answer(kAnswerSize);
            for (int n = 0; n < perConnection; ++n)
                if (!s.SendAll(request, kRequestSize) || !s.ReceiveExact(answer.data(), kAnswerSize, 10000)) {
                    failures.fetch_add(1);
                    return;
                }
        });
    for (auto& t : clients)
        t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failures.load() != 0)
        std::printf("  %d client(s) failed\n", failures.load());
    return perConnection * connections / seconds;
}

template <class Server>
double Round(int connections)
{
    Server server(connections);
    return RunClients(server.Port(), connections);
}

} // namespace

// Rounds alternate between baseline and engine so that both see the same machine load; the
// best round of each counts.
int main()
{
    std::printf("request-response exchanges (%u-byte request, %u-byte answer), best of %d rounds of %d\n",
                kRequestSize, kAnswerSize, kRounds, kTotalExchanges);
    bool ok = true;
    for (int connections : {1, 16}) {
        double blocking = 0, engine = 0;
        for (int round = 0; round < kRounds; ++round) {
            blocking = std::max(blocking, Round<CBlockingServer>(connections));
            engine = std::max(engine, Round<CEngineServer>(connections));
        }
        const double ratio = engine / blocking;
        std::printf("%2d connection(s): blocking %9.0f/s  engine (%d workers) %9.0f/s  ratio %.2f\n", connections,
                    blocking, kWorkers, engine, ratio);
        ok = ok && ratio >= 0.5;
    }
    return ok ? 0 : 1;
}
