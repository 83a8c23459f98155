#pragma once
// A TCP/UDP port and a multicast group of the test process's own. ctest runs many test
// processes at once inside one network namespace; each claims a block of 8 ports for its
// lifetime with a lock file (a block held by a running process is skipped), and checks that
// the port it hands out is free for both TCP and UDP.

#include "platform/Process.h"
#include "support/Ipv4.h"
#include "support/SystemSocket.h"

#include <cstdint>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#endif

struct CTestEndpoint {
    uint16_t nPort = 0;   ///< free for TCP and UDP when it was handed out
    uint32_t nGroup = 0;  ///< 239.x.y.z, network order, of this process alone
    std::string strGroup; ///< the same, dotted
};

namespace test_endpoints_detail {

inline bool PortIsFree(uint16_t port)
{
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        const int fd = SystemSocket(AF_INET, type);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        const bool bound = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
        if (fd >= 0)
            SystemClose(fd);
        if (!bound)
            return false;
    }
    return true;
}

/// Takes the lock file for the process's life; false when another process holds it.
inline bool LockForLife(const std::string& path)
{
#ifdef _WIN32
    // A file opened without sharing is locked until its handle closes with the process.
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr) != kInvalidWinHandle;
#else
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true; // fd stays open: the lock is this process's until it ends
    close(fd);
    return false;
#endif
}

/// The first block from the process id on whose lock file this process could take; the
/// lock stays held until the process ends.
inline unsigned ClaimBlock()
{
    constexpr unsigned kBlocks = 5000;
    const unsigned first = platform::GetCurrentProcessId() % kBlocks;
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    for (unsigned i = 0; i < kBlocks; ++i) {
        const unsigned block = (first + i) % kBlocks;
        if (LockForLife((folder / ("qv-test-ports-" + std::to_string(block) + ".lock")).string()))
            return block;
    }
    return first;
}

} // namespace test_endpoints_detail

/// The next endpoint of this process: ports 20000-59999 in blocks of 8, one block per running
/// process; the group follows the port. Test thread; after 8 the block's ports come round again.
inline CTestEndpoint NextTestEndpoint()
{
    static unsigned s_nCount = 0;
    static const unsigned block = test_endpoints_detail::ClaimBlock();
    CTestEndpoint endpoint;
    for (unsigned attempt = 0; attempt < 8; ++attempt) {
        const uint16_t port = static_cast<uint16_t>(20000u + block * 8u + (s_nCount++ % 8u));
        endpoint.nPort = port;
        if (test_endpoints_detail::PortIsFree(port))
            break;
    }
    const uint8_t c = static_cast<uint8_t>(endpoint.nPort >> 8);
    const uint8_t d = static_cast<uint8_t>(endpoint.nPort & 0xFF);
    endpoint.nGroup = Ipv4(239, 77, c, d);
    endpoint.strGroup = "239.77." + std::to_string(c) + "." + std::to_string(d);
    return endpoint;
}
