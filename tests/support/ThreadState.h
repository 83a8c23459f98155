#pragma once
// Tells when another thread of the test has gone to sleep in the kernel (a futex, a poll), so
// that a test can act at the moment that thread is blocked instead of after a guessed sleep,
// and when it has ended.

#include <chrono>
#include <fstream>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>

/// The system's id of the calling thread.
inline pid_t CurrentTid()
{
    return ::gettid();
}

/// True once the thread has ended, gone from the process's tasks, within the limit.
inline bool WaitUntilEnded(pid_t tid, std::chrono::milliseconds limit)
{
    const std::string path = "/proc/self/task/" + std::to_string(tid);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (access(path.c_str(), F_OK) == 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/// True once the thread is seen sleeping (state S) within the limit.
inline bool WaitUntilAsleep(pid_t tid, std::chrono::milliseconds limit)
{
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat(path);
        std::string line;
        std::getline(stat, line);
        // "tid (name) S ...": the state follows the name, which may hold blanks and parentheses.
        const size_t close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S')
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}
