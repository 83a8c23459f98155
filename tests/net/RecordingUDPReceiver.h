#pragma once
// An owner of a CUDP_Receiver that records what its receive thread hands over: each datagram
// as "data <bytes>", each error as "error <code>".

#include "RecordedEvents.h"

#include "net/client/UDPPacketsReceiver.h"

#include <string>

class CRecordingUDPReceiver : public IUDPPacketsReceiver, public CRecordedEvents {
public:
    void OnUDPAsyncError(uint32_t error) override { Record("error " + std::to_string(error)); }
    void OnUDPPktReceived(const uint8_t* data, uint32_t length) override
    {
        Record("data " + std::string(reinterpret_cast<const char*>(data), length));
    }
};
