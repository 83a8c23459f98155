#pragma once
// One-shot waitable timers with a relative due time. A manual-reset timer stays signalled
// after it comes due until it is armed again or cancelled; an auto-reset timer is reset by
// the wait that takes its signal.

#include "platform/WaitObject.h"

#include <cstdint>
#include <memory>

namespace platform {

class WaitableTimer final : public WaitObject {
public:
    /// A new inactive, non-signalled timer; null with the last system error set when the
    /// system refuses. Any thread.
    static std::unique_ptr<WaitableTimer> Create(ResetMode mode);
    ~WaitableTimer() override;

    /// Arms the timer once, delayMs from now (0 or less: at once); clears the signalled
    /// state. Any thread.
    bool Start(int64_t delayMs);
    /// Leaves the timer inactive and non-signalled. Any thread.
    bool Cancel();

    /// Any thread.
    int GetDescriptor() const override;
    /// Any thread.
    bool Consume() override;

private:
    WaitableTimer(int handle, ResetMode mode);

    int m_handle; ///< the descriptor or handle GetDescriptor gives
    ResetMode m_mode;
};

} // namespace platform
