#pragma once
// The CPU time a running process has used, from its stat file, for benchmarks that watch a
// program from outside.

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <unistd.h>

/// User and system CPU seconds the process has used so far.
inline double CpuSeconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2)); // the name may hold spaces
    std::string field;
    for (int i = 3; i < 14; ++i) // fields 3 to 13 precede utime
        fields >> field;
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
