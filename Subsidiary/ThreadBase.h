#pragma once
// Base of every long-lived thread object: the thread with its start handshake and stop event,
// and the static event, timer and wait operations its body builds its loop with.

#include "platform/Thread.h"
#include "platform/WaitObject.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

using HANDLE = platform::WaitObject*;
inline constexpr uint32_t INFINITE = 0xFFFFFFFF;

class CThreadBase {
public:
    /// An empty name becomes "<unnamed thread>". Any thread.
    explicit CThreadBase(std::string name);
    /// Does not stop the thread: stop it before destroying the object.
    virtual ~CThreadBase();
    CThreadBase(const CThreadBase&) = delete;
    CThreadBase& operator=(const CThreadBase&) = delete;

    /// Starts the thread and waits until its body acknowledges (0) or returns first (its
    /// value, not running unless that is 0); -1 on a failure. The controlling thread.
    virtual int32_t Start();
    /// Signals the stop event and waits for the thread to end; after waitMs the thread is
    /// terminated at its wait and the result is false. The controlling thread.
    virtual bool Stop(uint32_t* exitCode = nullptr, uint32_t waitMs = INFINITE);
    /// Between a successful Start and the next Stop. Any thread.
    bool IsRunning() const;

    /// A manual-reset, non-signalled event; null on failure (logged). Any thread.
    static HANDLE CreateEventHandle();
    /// Any thread.
    static bool SignalEventHandle(HANDLE h);
    /// Any thread.
    static bool ResetEventHandle(HANDLE h);
    /// An inactive manual-reset timer; null on failure (logged). Any thread.
    static HANDLE CreateTimerHandle();
    /// Arms the timer once, delayMs from now. Any thread.
    static bool StartTimerHandle(HANDLE h, int64_t delayMs);
    /// Leaves the timer inactive and non-signalled; always true. Any thread.
    static bool StopTimerHandle(HANDLE h);
    /// Waits without limit for the first signalled handle (lowest index wins) and returns its
    /// index; -1 on failure (logged). Fatal while the thread holds a monitored lock. Any thread.
    static int32_t WaitForHandles(const HANDLE* handles, uint32_t count);
    /// Any thread.
    static void CloseHandle(HANDLE h);

protected:
    /// The thread body; its value becomes the exit code. It calls SignalStarted once its
    /// set-up succeeded and returns when the stop event (first in its waits) fires.
    virtual int32_t DoRun() = 0;
    /// Acknowledges the start; later calls do nothing. The body's thread.
    void SignalStarted();
    /// The body's thread.
    HANDLE GetStopEvent() const;

private:
    int32_t ThreadEntry();
    void ReleaseThread();

    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bStartPending{false};
    std::string m_strName;
    std::unique_ptr<platform::Thread> m_hThread;
    std::atomic<int32_t> m_nStartResult{0};
    HANDLE m_hStartedEvent = nullptr;
    HANDLE m_hStopEvent = nullptr;
};

/// The system's text for an error number without a trailing line break; "???" when the system
/// has none. Any thread.
std::string GetSystemErrorText(uint32_t code);

/// The error line of an event loop for a WaitForHandles result that is none of its handles:
/// the time-out 258, the failure -1, or any other value. Any thread.
const char* WaitFailureText(int32_t result);
