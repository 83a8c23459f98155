#pragma once
// Records every datagram sent to a multicast group, with its arrival time, on a thread of its
// own from construction to destruction.

#include "support/PlainSocket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SHeardDatagram {
    std::chrono::steady_clock::time_point at;
    std::vector<uint8_t> bytes;
};

class CMulticastListener {
public:
    CMulticastListener(uint16_t port, const std::string& group) : m_Socket(CPlainSocket::BindUdp(port))
    {
        const int room = 8 << 20;
#ifdef SO_RCVBUFFORCE
        SystemSetOption(m_Socket.Fd(), SOL_SOCKET, SO_RCVBUFFORCE, room);
#else
        SystemSetOption(m_Socket.Fd(), SOL_SOCKET, SO_RCVBUF, room);
#endif
        m_bJoined = m_Socket.JoinGroup(group.c_str());
        m_Thread = std::thread([this] { Listen(); });
    }
    ~CMulticastListener()
    {
        m_bStop = true;
        m_Thread.join();
    }
    CMulticastListener(const CMulticastListener&) = delete;
    CMulticastListener& operator=(const CMulticastListener&) = delete;

    bool Joined() const { return m_bJoined; }

    /// Everything heard so far, in order of arrival. Any thread.
    std::vector<SHeardDatagram> Heard()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_vecHeard;
    }

private:
    void Listen()
    {
        std::vector<uint8_t> buffer(65536);
        while (!m_bStop) {
            if (!m_Socket.WaitReadable(50))
                continue;
            const auto n = SystemReceive(m_Socket.Fd(), buffer.data(), buffer.size());
            if (n <= 0)
                continue;
            SHeardDatagram heard{std::chrono::steady_clock::now(), {buffer.begin(), buffer.begin() + n}};
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_vecHeard.push_back(std::move(heard));
        }
    }

    CPlainSocket m_Socket;
    bool m_bJoined = false;
    std::atomic<bool> m_bStop{false};
    std::mutex m_Mutex;
    std::vector<SHeardDatagram> m_vecHeard; // guarded by m_Mutex
    std::thread m_Thread;
};
