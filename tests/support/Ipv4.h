#pragma once
// IPv4 addresses in network byte order, built from their four parts.

#include <cstdint>
#include <cstring>

inline uint32_t Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}
