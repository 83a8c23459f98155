#pragma once
// The lock monitor's bookkeeping: one record per lock object, one per registered thread.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class CAutoMutex;

// In the registry `count` is 1 while the lock is initialised and 0 after its deletion; in a
// thread's usage table it is the thread's recursion depth on the lock.
struct DBGLockRecord {
    std::string name;
    int32_t id = 0;
    int32_t count = 0;
    uint64_t lockCount = 0;
    uint64_t waitTime = 0; // milliseconds
};

// Touched only by its own thread, except for creation and removal in the thread table.
struct DBGThreadRecord {
    uint32_t threadId = 0;
    std::string name;
    uint64_t awakeSince = 0;
    uint64_t startTick = 0;
    uint64_t awakeTime = 0;
    std::unordered_map<const CAutoMutex*, DBGLockRecord> usage;
    std::vector<DBGLockRecord*> held; // usage records with a depth above 0, in taking order
};
