#pragma once
// How long the server core waits for what a client owes it. The program keeps these; tests
// shorten them.

#include <cstdint>

struct CServerTimings {
    /// A snapshot whose client has not asked for its next packet this long is dropped, and the
    /// client disconnected: it would otherwise hold the whole rendering while it stays connected.
    int64_t nSyncIdleLimitMs = 60000;
    /// How often the main thread looks for such snapshots.
    int64_t nSyncSweepPeriodMs = 1000;
};
