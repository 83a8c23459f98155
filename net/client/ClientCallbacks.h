#pragma once
// The application's receiver as the connection thread calls it. Destroy gives up a thread that
// the application holds beyond the stop's limit; such a thread ends as soon as the callback
// returns, before it touches the connection again, which may be gone by then.

#include "net/client/IIOCP_ClientConnection.h"
#include "platform/Thread.h"

#include <cstdint>

class CClientCallbacks final : public IIOCP_ClientReceiver {
public:
    explicit CClientCallbacks(IIOCP_ClientReceiver* application) : m_pApplication(application) {}

    void OnReceivePkt(const uint8_t* payload, uint32_t length, uint32_t tag) override
    {
        m_pApplication->OnReceivePkt(payload, length, tag);
        platform::EndIfTerminated();
    }
    void OnConnectFailed(uint32_t error, uint32_t tag) override
    {
        m_pApplication->OnConnectFailed(error, tag);
        platform::EndIfTerminated();
    }
    void OnDisconnected(uint32_t error, uint32_t tag) override
    {
        m_pApplication->OnDisconnected(error, tag);
        platform::EndIfTerminated();
    }
    void OnConnected(uint32_t tag) override
    {
        m_pApplication->OnConnected(tag);
        platform::EndIfTerminated();
    }

private:
    IIOCP_ClientReceiver* const m_pApplication;
};
