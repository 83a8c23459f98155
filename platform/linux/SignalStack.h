#pragma once
// A per-thread alternate signal stack, so that a crash handler can run even when the crash
// was a stack overflow.

#include <csignal>

namespace platform::linux_detail {

class SignalStack {
public:
    /// Gives the calling thread this stack; the one it had before comes back on destruction.
    /// The thread that owns it.
    SignalStack();
    ~SignalStack();
    SignalStack(const SignalStack&) = delete;
    SignalStack& operator=(const SignalStack&) = delete;

private:
    void* m_pMemory;
    stack_t m_previous{};
    bool m_bInstalled = false;
};

} // namespace platform::linux_detail
