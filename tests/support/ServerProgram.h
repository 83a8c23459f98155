#pragma once
// QV_Server runs for tests and benchmarks: their settings (the run's own port and group,
// served on the loopback interface) and the start of a server whose feed has filled the store.

#include "support/ProgramRun.h"
#include "support/TestEndpoints.h"

#include <chrono>
#include <cstdio>
#include <string>

inline std::string ServerSettingsText(const CTestEndpoint& endpoint, int slots = 8)
{
    return "[SERVER]\nServerPort=" + std::to_string(endpoint.nPort) + "\nMulticastAddr=" + endpoint.strGroup +
           "\nNetInterfaceAddr=127.0.0.1\nMaxClientConnections=" + std::to_string(slots) + "\nNumberOfThreads=2\n";
}

/// Waits for the started server, starts its feed and waits for the 80,000 objects; false
/// after printing the output so far. Test thread.
inline bool StartFeedAndPopulate(CProgramRun& server, std::chrono::milliseconds limit)
{
    if (!server.WaitFor("Network server started!", limit)) {
        std::printf("the server did not start:\n%s", server.Output().c_str());
        return false;
    }
    server.Keys("1");
    if (!server.WaitFor("Done - 80000 objs in ", limit)) {
        std::printf("the feed did not populate:\n%s", server.Output().c_str());
        return false;
    }
    return true;
}
