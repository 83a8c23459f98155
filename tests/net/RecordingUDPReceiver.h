#pragma once
// An owner of a CUDP_Receiver that records what its receive thread hands over: each datagram
// as "data <bytes>", each error as "error <code>".

#include "net/client/UDPPacketsReceiver.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class CRecordingUDPReceiver : public IUDPPacketsReceiver {
public:
    void OnUDPAsyncError(uint32_t error) override { Record("error " + std::to_string(error)); }
    void OnUDPPktReceived(const uint8_t* data, uint32_t length) override
    {
        Record("data " + std::string(reinterpret_cast<const char*>(data), length));
    }

    /// Waits up to 10 s until `count` events have been recorded; returns all of them.
    std::vector<std::string> WaitFor(size_t count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_events.size() >= count; });
        return m_events;
    }

private:
    void Record(std::string event)
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events; // guarded by m_mutex
};
