#pragma once
// The type of the CObjArchiveException an action throws, UINT32_MAX when it throws none.

#include "Subsidiary/ObjArchiveException.h"

#include <cstdint>
#include <functional>

inline uint32_t ArchiveErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const CObjArchiveException& e) {
        return e.GetType();
    }
    return UINT32_MAX;
}
