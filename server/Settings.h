#pragma once
// The server's settings: read once from the file beside the program before anything else
// starts, then only read.

#include "Subsidiary/ReadIni.h"

#include <cstdint>
#include <string>

class CSettings : public CReadIni {
public:
    /// Reads the settings file beside the running program. On failure one message has been
    /// printed and the program must not start. Main thread, before other threads start.
    bool Load();
    /// Load with an explicit file name. Main thread, before other threads start.
    bool LoadFrom(const std::string& fileName);

    // Read access, any thread once loaded.
    const std::string& GetFileName() const { return m_strFileName; }
    /// Multicast group of the stream, IPv4 in network byte order.
    uint32_t GetMulticastAddr() const { return m_nMulticastAddr; }
    /// Local interface to serve on, IPv4 in network byte order.
    uint32_t GetNetInterfaceAddr() const { return m_nNetInterfaceAddr; }
    int32_t GetMaxClientConnections() const { return m_nMaxClientConnections; }
    /// TCP port of the server, and UDP port of the stream.
    int32_t GetServerPort() const { return m_nServerPort; }
    /// Worker threads of the transport; 0 means one per processor.
    int32_t GetNumberOfThreads() const { return m_nNumberOfThreads; }

private:
    std::string m_strFileName;
    uint32_t m_nMulticastAddr = 0;
    uint32_t m_nNetInterfaceAddr = 0;
    int32_t m_nMaxClientConnections = 0;
    int32_t m_nServerPort = 0;
    int32_t m_nNumberOfThreads = 0;
};
