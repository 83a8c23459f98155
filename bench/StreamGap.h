#pragma once
// The longest silence of the multicast stream over a span: what clients following the stream
// see while the server is busy elsewhere.

#include "support/MulticastListener.h"

#include <algorithm>
#include <chrono>
#include <vector>

/// The longest time without a stream datagram (id 1) between `from` and `to`, in ms.
inline double LongestStreamGapMs(const std::vector<SHeardDatagram>& heard, std::chrono::steady_clock::time_point from,
                                 std::chrono::steady_clock::time_point to)
{
    std::chrono::steady_clock::time_point last = from;
    std::chrono::steady_clock::duration longest{};
    for (const SHeardDatagram& d : heard) {
        if (d.bytes.empty() || d.bytes[0] != 1 || d.at < from)
            continue;
        const std::chrono::steady_clock::time_point at = std::min(d.at, to);
        longest = std::max(longest, at - last);
        last = at;
        if (d.at >= to)
            break;
    }
    longest = std::max(longest, to - last);
    return std::chrono::duration<double, std::milli>(longest).count();
}
