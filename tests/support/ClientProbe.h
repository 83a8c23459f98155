#pragma once
// Opens the steps of the client core's event loop to a test's own thread.

#include "client/QV_Client.h"

class CClientProbe : public CQV_Client {
public:
    using CQV_Client::ApplyNextPacket;
    using CQV_Client::CheckStreamStall;
    using CQV_Client::CStreamCounters;
    using CQV_Client::GetStreamCounters;
    using CQV_Client::OnConnectTimer;
    using CQV_Client::PurgeAppliedPackets;
    using CQV_Client::RestartConnections;
    using CQV_Client::SendRetransmitPkt;
};
