#pragma once
// The memory a running process holds in RAM, from its status file, for benchmarks that watch a
// program from outside.

#include <fstream>
#include <string>
#include <sys/types.h>

/// The process's resident set in MiB; 0 when it cannot be read.
inline double ResidentMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0; // in kB
    }
    return 0;
}
