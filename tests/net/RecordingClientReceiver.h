#pragma once
// An application for the client connection that records its callbacks as "connected",
// "failed <code>", "disconnected <code>" and "packet <payload>".

#include "RecordedEvents.h"

#include "net/client/IIOCP_ClientConnection.h"

#include <string>

class CRecordingClientReceiver : public IIOCP_ClientReceiver, public CRecordedEvents {
public:
    void OnReceivePkt(const uint8_t* payload, uint32_t length, uint32_t) override
    {
        Record("packet " + std::string(reinterpret_cast<const char*>(payload), length));
    }
    void OnConnectFailed(uint32_t error, uint32_t) override { Record("failed " + std::to_string(error)); }
    void OnDisconnected(uint32_t error, uint32_t) override { Record("disconnected " + std::to_string(error)); }
    void OnConnected(uint32_t) override { Record("connected"); }
};
