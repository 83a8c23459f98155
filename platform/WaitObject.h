#pragma once
// The common base of everything a wait can take: events, waitable timers, threads.

namespace platform {

/// A manual-reset object stays signalled until it is reset; an auto-reset object is reset by
/// the one wait that takes its signal.
enum class ResetMode { Manual, Auto };

class WaitObject {
public:
    virtual ~WaitObject() = default;
    WaitObject(const WaitObject&) = delete;
    WaitObject& operator=(const WaitObject&) = delete;

    /// What a wait watches: on Linux a descriptor that polls readable while the object may be
    /// signalled, on Windows the object's handle (whose value always fits in 32 bits, sign
    /// extended). Any thread.
    virtual int GetDescriptor() const = 0;
    /// Takes the signal for the wait that chose this object: true when it was signalled (an
    /// auto-reset object is reset by it), false when another waiter was first. Any thread.
    virtual bool Consume() = 0;

protected:
    WaitObject() = default;
};

} // namespace platform
