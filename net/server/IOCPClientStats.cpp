#include "net/server/IOCPClientStats.h"

#include <cstring>

std::string DottedAddress(uint32_t address)
{
    uint8_t bytes[4];
    std::memcpy(bytes, &address, sizeof bytes); // network order: the first part comes first
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}
