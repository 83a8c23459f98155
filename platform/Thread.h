#pragma once
// Threads. A Thread is also a wait object: signalled once its function has returned or it
// has been terminated.

#include "platform/Wait.h"
#include "platform/WaitObject.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

inline constexpr uint32_t kTerminatedExitCode = 0xFFFFFFFF;

class Thread final : public WaitObject {
public:
    using Body = std::function<uint32_t()>;

    /// Starts a thread that runs the body; its result becomes the exit code. Null with the
    /// last system error set when the system refuses. Any thread.
    static std::unique_ptr<Thread> Create(Body body);
    /// Starts a thread that runs entry(argument). Any thread.
    static std::unique_ptr<Thread> Create(uint32_t (*entry)(void*), void* argument);
    /// Lets go of the thread; a thread still running goes on to its end. Any other thread.
    ~Thread() override;

    /// True when the thread has ended within the time. Any other thread.
    bool Wait(uint32_t timeoutMs = kInfinite);
    /// The exit code once the thread has ended; false while it runs. Any thread.
    bool GetExitCode(uint32_t& exitCode) const;
    /// Asks the thread to end: it stops in its current or next wait (or EndIfTerminated) and
    /// ends with exit code kTerminatedExitCode. Any other thread.
    bool Terminate();
    /// Waits up to timeoutMs for the thread to end; a thread still running is then terminated
    /// and given a moment to end at its wait. False when it runs on even so, held outside any
    /// wait (in a call into its owner): it is given up, and ends at its next wait or
    /// EndIfTerminated. Any other thread.
    bool EndWithin(uint32_t timeoutMs);
    /// Raises the thread's scheduling priority one step. False when the system refuses, which
    /// is not an error: the thread runs on at its priority. Any thread.
    bool RaisePriority();
    /// The system's number of the thread. Any thread.
    uint32_t GetId() const;

    /// Any thread.
    int GetDescriptor() const override;
    /// Any thread.
    bool Consume() override;

    struct Shared;

private:
    Thread(std::shared_ptr<Shared> shared, uint32_t id);

    std::shared_ptr<Shared> m_shared;
    uint32_t m_nId;
};

/// The system's number of the calling thread, unique among the running threads. Any thread.
uint32_t GetCurrentThreadId();

/// Ends the calling thread here when Terminate was called for it. A thread calls it right
/// after a call that may have held it outside a wait, so that once given up (EndWithin) it
/// touches nothing of its owner again. A thread of this layer.
void EndIfTerminated();

} // namespace platform
