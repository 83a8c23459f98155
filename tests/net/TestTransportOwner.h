#pragma once
// Stands in for the server that owns the worker pool and the multicast sender.

#include "net/server/IOCP_CompletionTarget.h"
#include "net/server/IOCP_TransportOwner.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CTestTransportOwner : public IIOCP_TransportOwner {
public:
    /// With a port, or without one (a server that has not started).
    explicit CTestTransportOwner(bool withPort = true)
    {
        if (withPort)
            m_port = platform::CompletionPort::Create();
    }

    platform::CompletionPort* GetCompletionPort() override { return m_port.get(); }
    bool IsExiting() const override { return m_bExiting.load(); }
    void SetExiting(bool exiting) { m_bExiting.store(exiting); }

private:
    std::unique_ptr<platform::CompletionPort> m_port;
    std::atomic<bool> m_bExiting{false};
};

/// Records every completion it is handed, with the thread that ran it.
class CRecordingTarget : public IIOCP_CompletionTarget {
public:
    struct Call {
        platform::OVERLAPPED* overlapped;
        uint32_t bytes;
        std::thread::id thread;
    };

    void OnIoComplete(platform::OVERLAPPED* overlapped, uint32_t bytes) override
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back({overlapped, bytes, std::this_thread::get_id()});
    }

    std::vector<Call> Calls()
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

private:
    std::mutex m_mutex;
    std::vector<Call> m_calls;
};
