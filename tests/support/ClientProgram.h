#pragma once
// QV_Client runs for tests and benchmarks: their settings (the run's own port and group, the
// server on the loopback) and the export that its key 's' wrote.

#include "support/TestEndpoints.h"

#include <fstream>
#include <sstream>
#include <string>

inline std::string ClientSettingsText(const CTestEndpoint& endpoint)
{
    return "[SERVER]\nServerPort=" + std::to_string(endpoint.nPort) + "\nMulticastAddr=" + endpoint.strGroup +
           "\nServerAddr=127.0.0.1\n";
}

/// The content of the file named by the last "saved to file" line of a client's output;
/// "(no save)" without one.
inline std::string LastExport(const std::string& output)
{
    const std::string marker = "saved to file : ";
    const size_t at = output.rfind(marker);
    if (at == std::string::npos)
        return "(no save)";
    const size_t from = at + marker.size();
    std::ifstream file(output.substr(from, output.find("!\r\n", from) - from), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
