#pragma once
// A client id names one connection of one slot: the slot index (1-based) in the high word and
// the slot's connection number in the low word. Connection numbers are never 0 and never
// repeat soon, so an id outlives its connection only as a stale id that matches nothing.

#include <cstdint>

inline uint64_t MakeClientId(uint32_t slotIndex, uint32_t connectionNumber)
{
    return (static_cast<uint64_t>(slotIndex) << 32) | connectionNumber;
}

inline uint32_t SlotIndexOf(uint64_t clientId)
{
    return static_cast<uint32_t>(clientId >> 32);
}

inline uint32_t ConnectionNumberOf(uint64_t clientId)
{
    return static_cast<uint32_t>(clientId);
}
