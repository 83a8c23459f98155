#pragma once
// A network server without sockets for the server core's tests: it records every multicast
// datagram and every packet sent to a client, keeps the sender's references while told to
// hold them, and fails or throws on request.

#include "net/common/QVNET_SeqPkt.h"
#include "net/server/IIOCP_Server.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

struct SRecordedDatagram {
    std::vector<uint8_t> bytes; ///< as they were when queued
    uint32_t nTag = 0;
    const IIOCP_UDPBuffer* pBuffer = nullptr;
};

struct SRecordedSend {
    std::vector<uint8_t> bytes;
    const void* pPayload = nullptr; ///< where the bytes came from
};

class CRecordingNetServer : public IIOCP_Server {
public:
    uint32_t Start() override { return m_nStartResult; }
    uint32_t Stop() override { return 0; }

    uint32_t SendToClient(uint64_t clientId, const void* payload, uint32_t length) override
    {
        if (m_bThrowOnSend)
            throw std::runtime_error("The fake refuses to send!");
        const auto* bytes = static_cast<const uint8_t*>(payload);
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_mapSent[clientId].push_back({{bytes, bytes + length}, payload});
        return 0;
    }

    uint32_t SendMulticast(IIOCP_UDPBuffer* buffer) override
    {
        const uint8_t* data = buffer->GetData();
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_nFailResult != 0 && data[0] == QVNET_ID_STREAM && QVNET_StreamHeader::ReadSeq(data) == m_nFailSeq &&
            ++m_nFailCopiesSeen == m_nFailCopy)
            return std::exchange(m_nFailResult, 0);
        m_vecDatagrams.push_back({{data, data + buffer->GetSize()}, buffer->GetTag(), buffer});
        if (m_bHoldSends)
            m_vecHeld.push_back(buffer->AddRef());
        m_Changed.notify_all();
        return 0;
    }

    uint32_t DisconnectAll(bool close) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_vecDisconnectAll.push_back(close);
        return 0;
    }

    uint32_t StartMulticast(uint32_t interfaceAddress, uint16_t port) override
    {
        m_nMulticastInterface = interfaceAddress;
        m_nMulticastPort = port;
        return 0;
    }

    /// The `copy`-th multicast (1 or 2) of stream packet `seq` from now on fails once with `result`.
    void FailStreamCopy(uint64_t seq, uint32_t copy, uint32_t result)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_nFailSeq = seq;
        m_nFailCopy = copy;
        m_nFailCopiesSeen = 0;
        m_nFailResult = result;
    }

    /// While on, each queued datagram keeps a reference, as a sender whose queue is not drained.
    void HoldSends(bool hold)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bHoldSends = hold;
    }

    /// Lets go of the references held for datagrams "still in the queue".
    void ReleaseHeld()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (IIOCP_UDPBuffer* buffer : m_vecHeld)
            buffer->Release();
        m_vecHeld.clear();
    }

    std::vector<SRecordedDatagram> Datagrams()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_vecDatagrams;
    }

    /// Waits up to `limit` until a datagram after the first `from` matches.
    template <class Predicate>
    bool WaitForDatagram(size_t from, Predicate matches, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Changed.wait_for(lock, limit, [&] {
            for (size_t i = from; i < m_vecDatagrams.size(); ++i)
                if (matches(m_vecDatagrams[i]))
                    return true;
            return false;
        });
    }

    std::vector<SRecordedSend> SentTo(uint64_t clientId)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_mapSent[clientId];
    }

    /// Forgets the packets sent to clients, and the memory their copies take.
    void ForgetSent()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_mapSent.clear();
    }

    std::vector<bool> DisconnectAllCalls()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_vecDisconnectAll;
    }

    uint32_t DisconnectClient(uint64_t clientId, bool close) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_vecDisconnected.push_back({clientId, close});
        m_Changed.notify_all();
        return 0;
    }
    /// Waits up to `limit` until `count` clients were disconnected; the ids and close flags.
    std::vector<std::pair<uint64_t, bool>> WaitForDisconnects(size_t count, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Changed.wait_for(lock, limit, [&] { return m_vecDisconnected.size() >= count; });
        return m_vecDisconnected;
    }

    ~CRecordingNetServer() override { ReleaseHeld(); }

    // The rest of the interface, which the server core does not use.
    uint32_t SendToGroup(int32_t, const void*, uint32_t) override { return 0; }
    uint32_t SendToAll(const void*, uint32_t) override { return 0; }
    uint32_t AddClientToGroups(uint64_t, const std::set<int32_t>&) override { return 1; }
    uint32_t RemoveClientFromGroups(uint64_t, const std::set<int32_t>&) override { return 1; }
    uint32_t RemoveClientFromAllGroups(uint64_t) override { return 1; }
    uint32_t GetGroupSize(int32_t) override { return 0; }
    uint32_t GetClientAddress(uint64_t) override { return 0; }
    uint64_t GetClientHardwareAddress(uint64_t) override { return 0; }
    void GetClients(uint32_t, CClientHardwareMap&) override {}
    uint32_t GetClientType(uint64_t) override { return 0; }
    bool IsClientLocal(uint64_t) override { return false; }
    uint64_t FindClientByAddress(uint32_t) override { return 0; }
    uint64_t FindClientByHardwareAddress(uint64_t) override { return 0; }
    void StopMulticast() override {}
    void DescribeClients() override {}
    void GetStatistics(char* text, uint32_t size) override
    {
        if (size > 0)
            text[0] = '\0';
    }

    // Set by the test before the thread that makes the call starts.
    uint32_t m_nStartResult = 0;
    bool m_bThrowOnSend = false;

    // What StartMulticast was given.
    uint32_t m_nMulticastInterface = 0;
    uint16_t m_nMulticastPort = 0;

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_bHoldSends = false;
    uint64_t m_nFailSeq = 0;
    uint32_t m_nFailCopy = 0;
    uint32_t m_nFailCopiesSeen = 0;
    uint32_t m_nFailResult = 0; ///< 0: nothing fails
    std::vector<SRecordedDatagram> m_vecDatagrams;
    std::vector<IIOCP_UDPBuffer*> m_vecHeld;
    std::map<uint64_t, std::vector<SRecordedSend>> m_mapSent;
    std::vector<bool> m_vecDisconnectAll;
    std::vector<std::pair<uint64_t, bool>> m_vecDisconnected;
};
