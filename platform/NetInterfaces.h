#pragma once
// The host's IPv4 interfaces with their netmasks.

#include <cstdint>
#include <vector>

namespace platform {

struct NetInterfaceV4 {
    uint32_t address = 0; ///< network order
    uint32_t netmask = 0; ///< network order
};

/// Every IPv4 interface that is up, in the system's order. False with the last socket error
/// set when the system cannot list them. Any thread.
bool GetNetInterfaces(std::vector<NetInterfaceV4>& interfaces);

} // namespace platform
