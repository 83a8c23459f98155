#pragma once
// The client's settings: read once from the file beside the program before anything else
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
    /// The server's address as written in the file, for the TCP connection.
    const std::string& GetServerAddrText() const { return m_strServerAddr; }
    /// The server's address, IPv4 in network byte order, for the multicast source filter.
    uint32_t GetServerAddr() const { return m_nServerAddr; }
    /// TCP port of the server, and UDP port of the stream.
    int32_t GetServerPort() const { return m_nServerPort; }
    /// Multicast group of the stream, IPv4 in network byte order.
    uint32_t GetMulticastAddr() const { return m_nMulticastAddr; }

private:
    std::string m_strFileName;
    std::string m_strServerAddr;
    uint32_t m_nServerAddr = 0;
    int32_t m_nServerPort = 0;
    uint32_t m_nMulticastAddr = 0;
};
