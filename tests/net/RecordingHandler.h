#pragma once
// The application side of a server under test: admits clients as configured and records
// every callback, with bounded waits for what it has recorded.

#include "net/server/IIOCP_Server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct CRecordedInit {
    uint32_t nClientType;
    uint16_t nClientKind;
    bool bLocal;
    uint64_t nHardwareAddress;
    uint32_t nPeerAddress;
};

struct CRecordedPacket {
    uint64_t nClientId;
    std::string payload;
};

struct CRecordedClose {
    uint64_t nClientId;
    uint32_t nClientType;
    bool bExiting;
};

struct CHandlerRecord {
    std::vector<CRecordedInit> inits;
    std::vector<uint64_t> connected;
    std::vector<CRecordedPacket> packets;
    std::vector<CRecordedClose> closed;
};

class CRecordingHandler : public IIOCP_ConnHandler, public IIOCP_Receiver {
public:
    using PacketAction = std::function<int32_t(uint64_t clientId, const uint8_t* payload, uint32_t length)>;

    std::atomic<uint32_t> nInitResult{0};
    std::atomic<bool> bGiveReceiver{true};
    PacketAction onPacket; ///< after the packet is recorded; none keeps the connection. Set before the server starts.

    uint32_t OnClientInit(uint32_t clientType, uint16_t clientKind, bool isLocal, uint64_t hardwareAddress,
                          uint32_t peerAddress, IIOCP_Receiver** receiver) override
    {
        Record([&](CHandlerRecord& r) {
            r.inits.push_back({clientType, clientKind, isLocal, hardwareAddress, peerAddress});
        });
        *receiver = bGiveReceiver ? this : nullptr;
        return nInitResult;
    }

    int32_t OnReceivePkt(uint64_t clientId, const uint8_t* payload, uint32_t length) override
    {
        Record([&](CHandlerRecord& r) {
            r.packets.push_back({clientId, std::string(reinterpret_cast<const char*>(payload), length)});
        });
        return onPacket ? onPacket(clientId, payload, length) : 1;
    }

    void OnClientConnected(uint64_t clientId, uint32_t) override
    {
        Record([&](CHandlerRecord& r) { r.connected.push_back(clientId); });
    }

    void OnConnectionClosed(uint64_t clientId, uint32_t clientType, bool exiting) override
    {
        Record([&](CHandlerRecord& r) { r.closed.push_back({clientId, clientType, exiting}); });
    }

    /// Waits up to limitMs until the record satisfies the condition.
    bool WaitFor(const std::function<bool(const CHandlerRecord&)>& condition, int limitMs = 10000)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return condition(m_record); });
    }

    CHandlerRecord Snapshot()
    {
        std::lock_guard lock(m_mutex);
        return m_record;
    }

private:
    template <class Change>
    void Record(Change&& change)
    {
        {
            std::lock_guard lock(m_mutex);
            change(m_record);
        }
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    CHandlerRecord m_record;
};
