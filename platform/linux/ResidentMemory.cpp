#include "platform/ResidentMemory.h"

#include <cstdio>
#include <unistd.h>

namespace platform {

uint64_t GetResidentMemoryBytes()
{
    // statm: total program size, then resident pages.
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr)
        return 0;
    unsigned long long size = 0, resident = 0;
    const int fields = std::fscanf(statm, "%llu %llu", &size, &resident);
    std::fclose(statm);
    const long page = ::sysconf(_SC_PAGESIZE);
    return fields == 2 && page > 0 ? resident * static_cast<uint64_t>(page) : 0;
}

} // namespace platform
