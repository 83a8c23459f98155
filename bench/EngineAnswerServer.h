#pragma once
// A request-response server straight on the completion engine: each connection receives a
// whole request, sends a fixed answer and receives again, on a few worker threads. The
// baseline of the benchmarks that measure what is built on the engine.

#include "platform/CompletionPort.h"
#include "platform/OverlappedSocket.h"
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <array>
#include <memory>
#include <netinet/in.h>
#include <thread>
#include <vector>

namespace engine_bench {

constexpr uint32_t kRequestSize = 13;
constexpr uint32_t kAnswerSize = 4096;
constexpr int kWorkers = 4;
constexpr uint32_t kAddressArea = 32;
constexpr uintptr_t kListenKey = 1;

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

} // namespace engine_bench
