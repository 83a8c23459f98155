// Request-response exchanges per second through the completion engine (4 workers) against
// plain blocking sockets with a thread per connection, with the same clients for both:
// 13-byte requests, 4096-byte answers, 1 and 16 connections.
// Run inside the test namespace: scripts/netns-run build/bench/engine_exchange_bench

#include "EngineAnswerServer.h"
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

using engine_bench::CEngineServer;
using engine_bench::kAnswerSize;
using engine_bench::kRequestSize;
using engine_bench::kWorkers;

constexpr int kTotalExchanges = 16000; // per round
constexpr int kRounds = 7;

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
