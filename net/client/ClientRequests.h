#pragma once
// The requests that the interface operations of the client connection queue for its
// connection thread. Connect and send requests belong to the queue and are freed by whoever
// takes them off; a disconnect request lives on its caller's stack until its completion
// event is signalled.

#include "platform/Event.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SClientRequest {
    enum EKind : uint32_t { REQ_CONNECT = 1, REQ_DISCONNECT = 2, REQ_SEND = 3 };

    explicit SClientRequest(EKind kind) : nKind(kind) {}
    virtual ~SClientRequest() = default;
    SClientRequest(const SClientRequest&) = delete;
    SClientRequest& operator=(const SClientRequest&) = delete;

    const EKind nKind;
};

struct SConnectRequest final : SClientRequest {
    SConnectRequest(std::string host, uint16_t port, uint32_t reconnectSeconds)
        : SClientRequest(REQ_CONNECT), strHost(std::move(host)), nPort(port), nReconnectSeconds(reconnectSeconds)
    {
    }

    std::string strHost;
    uint16_t nPort;
    uint32_t nReconnectSeconds; ///< 0: no automatic reconnection
};

struct SDisconnectRequest final : SClientRequest {
    SDisconnectRequest(bool notify, bool immediate)
        : SClientRequest(REQ_DISCONNECT), bNotify(notify), bImmediate(immediate),
          hDone(platform::Event::Create(platform::ResetMode::Auto))
    {
    }

    const bool bNotify;
    const bool bImmediate;
    uint32_t nResult = 1; ///< 0 once carried out
    /// Signalled as the last touch of the request; null when it could not be made.
    const std::unique_ptr<platform::Event> hDone;
};

struct SSendRequest final : SClientRequest {
    SSendRequest(const void* packet, uint32_t length)
        : SClientRequest(REQ_SEND), bytes(static_cast<const uint8_t*>(packet), static_cast<const uint8_t*>(packet) + length)
    {
    }

    std::vector<uint8_t> bytes; ///< one application packet
};
