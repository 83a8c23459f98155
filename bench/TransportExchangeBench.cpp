// Request-response exchanges per second through the server transport against the bare
// completion engine, with the same 50 stand-in clients for both: 13-byte requests (in a USER
// frame for the transport) answered with 4096 bytes (SendToClient from OnReceivePkt for the
// transport). Also the time to admit 50 clients that connect and send their INIT at once.
// Run inside the test namespace: scripts/netns-run build/bench/transport_exchange_bench

#include "EngineAnswerServer.h"

#include "net/server/IIOCP_Server.h"
#include "platform/Inet.h"
#include "support/StandInClient.h"
#include "support/StdoutCapture.h"
#include "support/TestEndpoints.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kClients = 50;
constexpr int kExchangesPerClient = 400; // per round
constexpr int kRounds = 5;
constexpr int kWaitMs = 10000;

// Answers every USER packet with one 4096-byte USER packet.
class CAnswerApplication : public IIOCP_ConnHandler, public IIOCP_Receiver {
public:
    CAnswerApplication() : m_answer(engine_bench::kAnswerSize, 0x5A) {}

    void SetServer(IIOCP_Server* server) { m_pServer = server; }

    uint32_t OnClientInit(uint32_t, uint16_t, bool, uint64_t, uint32_t, IIOCP_Receiver** receiver) override
    {
        *receiver = this;
        return 0;
    }
    int32_t OnReceivePkt(uint64_t clientId, const uint8_t*, uint32_t) override
    {
        return m_pServer->SendToClient(clientId, m_answer.data(), static_cast<uint32_t>(m_answer.size())) == 0;
    }
    void OnClientConnected(uint64_t, uint32_t) override {}
    void OnConnectionClosed(uint64_t, uint32_t, bool) override {}

private:
    IIOCP_Server* m_pServer = nullptr;
    Bytes m_answer;
};

struct CRound {
    double exchangesPerSecond = 0;
    double setupMs = 0; ///< from the start of all connects to the last set-up answer
    int failures = 0;
};

/// All clients connect and send `setup` at the same moment and read its answer; once every
/// client is set up, all of them exchange `request` for an answer of `answerSize` bytes.
CRound RunClients(uint16_t port, const Bytes& setup, size_t setupAnswerSize, const Bytes& request, size_t answerSize)
{
    std::latch start(1), setUp(kClients), exchange(1);
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&] {
            start.wait();
            CStandInClient client(port);
            Bytes answer(std::max(setupAnswerSize, answerSize));
            bool ok = client.Valid() && (setup.empty() || (client.SendBytes(setup) &&
                                                           client.Socket().ReceiveExact(answer.data(), setupAnswerSize, kWaitMs)));
            setUp.count_down();
            exchange.wait();
            for (int n = 0; ok && n < kExchangesPerClient; ++n)
                ok = client.SendBytes(request) && client.Socket().ReceiveExact(answer.data(), answerSize, kWaitMs);
            failures += ok ? 0 : 1;
        });
    const Clock::time_point t0 = Clock::now();
    start.count_down();
    setUp.wait();
    const Clock::time_point t1 = Clock::now();
    exchange.count_down();
    for (std::thread& t : clients)
        t.join();
    const Clock::time_point t2 = Clock::now();
    CRound round;
    round.setupMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
    round.exchangesPerSecond = kClients * kExchangesPerClient / std::chrono::duration<double>(t2 - t1).count();
    round.failures = failures.load();
    return round;
}

CRound EngineRound()
{
    engine_bench::CEngineServer server(kClients);
    return RunClients(server.Port(), {}, 0, Bytes(engine_bench::kRequestSize, 1), engine_bench::kAnswerSize);
}

CRound TransportRound()
{
    CStdoutCapture quiet; // the transport logs every connect and disconnect
    CAnswerApplication application;
    const uint16_t port = NextTestEndpoint().nPort;
    uint32_t error = 1;
    std::unique_ptr<IIOCP_Server> server(CreateIOCPServer(port, platform::LoopbackIPv4Address(),
                                                          engine_bench::kWorkers, kClients, &application, &error));
    CRound round;
    round.failures = kClients;
    if (!server || server->Start() != 0)
        return round;
    application.SetServer(server.get());
    // The first maintenance pass posts the accepts right after the start; a client that comes
    // earlier waits in the backlog, which would count against the admission time.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Bytes request = CStandInClient::Frame(CMD_USER, Bytes(engine_bench::kRequestSize, 1).data(),
                                                engine_bench::kRequestSize);
    round = RunClients(port, CStandInClient::InitFrame(CSessionInitRequest::ForThisProtocol()),
                       CSessionInitAnswer::kFrameSize, request, CSessionHeader::kSize + engine_bench::kAnswerSize);
    server->Stop();
    return round;
}

} // namespace

// Rounds alternate between baseline and transport so that both see the same machine load;
// the best round of each counts, and the median admission time.
int main()
{
    std::printf("%d clients, %d request-response exchanges each (%u-byte request, %u-byte answer), best of %d rounds\n",
                kClients, kExchangesPerClient, engine_bench::kRequestSize, engine_bench::kAnswerSize, kRounds);
    double engine = 0, transport = 0;
    std::vector<double> admission;
    int failures = 0;
    for (int round = 0; round < kRounds; ++round) {
        const CRound e = EngineRound();
        const CRound t = TransportRound();
        engine = std::max(engine, e.exchangesPerSecond);
        transport = std::max(transport, t.exchangesPerSecond);
        admission.push_back(t.setupMs);
        failures += e.failures + t.failures;
    }
    std::sort(admission.begin(), admission.end());
    const double ratio = engine > 0 ? transport / engine : 0;
    std::printf("engine (%d workers) %9.0f/s  transport (%d workers) %9.0f/s  ratio %.2f\n", engine_bench::kWorkers,
                engine, engine_bench::kWorkers, transport, ratio);
    std::printf("admission of %d clients connecting at once: median %.1f ms, best %.1f ms, worst %.1f ms\n", kClients,
                admission[admission.size() / 2], admission.front(), admission.back());
    if (failures != 0)
        std::printf("%d client(s) failed\n", failures);
    return ratio >= 0.7 && failures == 0 ? 0 : 1;
}
