#pragma once
// Stands in for the client core's TCP connection and records the calls; a notified disconnect
// reports its end while the caller waits, as the real connection does.

#include "net/client/IIOCP_ClientConnection.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CFakeClientConnection : public IIOCP_ClientConnection {
public:
    using CBytes = std::vector<uint8_t>;

    explicit CFakeClientConnection(IIOCP_ClientReceiver* receiver) : m_pReceiver(receiver) {}

    struct SDisconnect {
        bool bNotify;
        bool bImmediate;
    };

    uint32_t Connect(const char* host, uint16_t port, uint32_t reconnectSeconds) override
    {
        std::lock_guard guard(m_Mutex);
        m_vecConnects.push_back(std::string(host) + ":" + std::to_string(port) + "/" + std::to_string(reconnectSeconds));
        return 0;
    }
    uint32_t Disconnect(bool notify, bool immediate) override
    {
        uint32_t result;
        {
            std::lock_guard guard(m_Mutex);
            m_vecDisconnects.push_back({notify, immediate});
            result = m_nDisconnectResult;
        }
        if (result == 0 && notify)
            m_pReceiver->OnDisconnected(0, 0);
        return result;
    }
    uint32_t Send(const void* packet, uint32_t length) override
    {
        std::lock_guard guard(m_Mutex);
        const auto* bytes = static_cast<const uint8_t*>(packet);
        m_vecSent.emplace_back(bytes, bytes + length);
        return 0;
    }

    void SetDisconnectResult(uint32_t result)
    {
        std::lock_guard guard(m_Mutex);
        m_nDisconnectResult = result;
    }
    std::vector<std::string> Connects()
    {
        std::lock_guard guard(m_Mutex);
        return m_vecConnects;
    }
    std::vector<SDisconnect> Disconnects()
    {
        std::lock_guard guard(m_Mutex);
        return m_vecDisconnects;
    }
    std::vector<CBytes> Sent()
    {
        std::lock_guard guard(m_Mutex);
        return m_vecSent;
    }
    /// Forgets every call recorded so far.
    void Clear()
    {
        std::lock_guard guard(m_Mutex);
        m_vecConnects.clear();
        m_vecDisconnects.clear();
        m_vecSent.clear();
    }

private:
    IIOCP_ClientReceiver* m_pReceiver;
    std::mutex m_Mutex;
    uint32_t m_nDisconnectResult = 0;
    std::vector<std::string> m_vecConnects;
    std::vector<SDisconnect> m_vecDisconnects;
    std::vector<CBytes> m_vecSent;
};
