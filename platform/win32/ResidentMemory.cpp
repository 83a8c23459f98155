#include "platform/ResidentMemory.h"

#include "platform/win32/WinApi.h"

#include <psapi.h>

namespace platform {

uint64_t GetResidentMemoryBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return counters.WorkingSetSize;
}

} // namespace platform
