#pragma once
// Events: signalled by Set, non-signalled by Reset or, for auto-reset events, by the wait
// that takes the signal.

#include "platform/WaitObject.h"

#include <memory>

namespace platform {

class Event final : public WaitObject {
public:
    /// A new non-signalled event; null with the last system error set when the system
    /// refuses. Any thread.
    static std::unique_ptr<Event> Create(ResetMode mode);
    ~Event() override;

    /// Signals the event; setting a signalled event changes nothing. Any thread.
    bool Set();
    /// Makes the event non-signalled. Any thread.
    bool Reset();

    /// Any thread.
    int GetDescriptor() const override;
    /// Any thread.
    bool Consume() override;

private:
    Event(int handle, ResetMode mode);

    int m_handle; ///< the descriptor or handle GetDescriptor gives
    ResetMode m_mode;
};

} // namespace platform
