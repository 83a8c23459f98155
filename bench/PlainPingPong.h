#pragma once
// The floor of a snapshot pull: a plain blocking TCP connection to a thread of this process
// that answers each request frame of a next-sync (23 bytes) with a frame as large as a full
// snapshot packet (4106 bytes), nothing rendered and nothing applied.

#include "support/PlainSocket.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

struct SPingPongTimes {
    double connectMs = 0;  ///< the TCP connection
    double exchangeMs = 0; ///< the round trips
};

inline SPingPongTimes PlainPingPong(size_t exchanges)
{
    constexpr size_t kRequestFrame = 10 + 13;
    constexpr size_t kAnswerFrame = 10 + 4096;
    using Clock = std::chrono::steady_clock;
    CPlainSocket listener = CPlainSocket::ListenTcp();
    std::thread answerer([&] {
        CPlainSocket peer = listener.Accept(10000);
        std::vector<uint8_t> request(kRequestFrame), answer(kAnswerFrame, 0x5A);
        for (size_t i = 0; i < exchanges; ++i)
            if (!peer.ReceiveExact(request.data(), request.size(), 10000) || !peer.SendAll(answer.data(), answer.size()))
                return;
    });
    const Clock::time_point start = Clock::now();
    CPlainSocket client = CPlainSocket::ConnectTcp(listener.LocalPort());
    const Clock::time_point connected = Clock::now();
    std::vector<uint8_t> request(kRequestFrame, 0x05), answer(kAnswerFrame);
    for (size_t i = 0; i < exchanges; ++i)
        if (!client.SendAll(request.data(), request.size()) || !client.ReceiveExact(answer.data(), answer.size(), 10000))
            break;
    const Clock::time_point end = Clock::now();
    answerer.join();
    return {std::chrono::duration<double, std::milli>(connected - start).count(),
            std::chrono::duration<double, std::milli>(end - connected).count()};
}
