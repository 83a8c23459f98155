#pragma once
// Tells when another thread of the test has gone to sleep in the kernel (a futex, a poll, a
// wait), so that a test can act at the moment that thread is blocked instead of after a guessed
// sleep, and when it has ended. Linux shows the state in /proc; on Windows a thread whose
// processor time stands still over several of the system's clock ticks is taken to sleep.

#include <chrono>
#include <string>
#include <thread>

#ifdef _WIN32
#include "support/WindowsHeaders.h"

using ThreadNumber = DWORD;

/// The system's id of the calling thread.
inline ThreadNumber CurrentTid()
{
    return GetCurrentThreadId();
}

namespace thread_state_detail {

inline bool ProcessorTime(WinHandle thread, ULONGLONG* time)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return false;
    *time = (ULONGLONG{kernel.dwHighDateTime} << 32 | kernel.dwLowDateTime) +
            (ULONGLONG{user.dwHighDateTime} << 32 | user.dwLowDateTime);
    return true;
}

} // namespace thread_state_detail

/// True once the thread has ended within the limit.
inline bool WaitUntilEnded(ThreadNumber tid, std::chrono::milliseconds limit)
{
    const WinHandle thread = OpenThread(SYNCHRONIZE, FALSE, tid);
    if (thread == nullptr)
        return true; // no such thread any more
    const bool ended = WaitForSingleObject(thread, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}

/// True once the thread is seen sleeping (no processor time over 40 ms) within the limit.
inline bool WaitUntilAsleep(ThreadNumber tid, std::chrono::milliseconds limit)
{
    constexpr int kStillSamples = 4; // 10 ms apart: past the system's tick of 10 to 16 ms
    const WinHandle thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, tid);
    if (thread == nullptr)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    ULONGLONG last = 0;
    int still = 0;
    bool asleep = false;
    while (!asleep && std::chrono::steady_clock::now() < deadline) {
        ULONGLONG now = 0;
        if (!thread_state_detail::ProcessorTime(thread, &now))
            break;
        still = now == last ? still + 1 : 0;
        last = now;
        asleep = still >= kStillSamples;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    CloseHandle(thread);
    return asleep;
}
#else
#include <fstream>
#include <sys/types.h>
#include <unistd.h>

using ThreadNumber = pid_t;

/// The system's id of the calling thread.
inline ThreadNumber CurrentTid()
{
    return ::gettid();
}

/// True once the thread has ended, gone from the process's tasks, within the limit.
inline bool WaitUntilEnded(ThreadNumber tid, std::chrono::milliseconds limit)
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
inline bool WaitUntilAsleep(ThreadNumber tid, std::chrono::milliseconds limit)
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
#endif
