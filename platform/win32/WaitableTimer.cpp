#include "platform/WaitableTimer.h"

#include "platform/SystemError.h"
#include "platform/win32/WaitHandle.h"

namespace platform {

using win32::HandleFromDescriptor;

namespace {

// A negative due time is relative, in 100 ns units.
bool Arm(HANDLE timer, int64_t due100ns)
{
    LARGE_INTEGER due;
    due.QuadPart = due100ns;
    if (::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
        return true;
    SetLastSystemError(::GetLastError());
    return false;
}

} // namespace

std::unique_ptr<WaitableTimer> WaitableTimer::Create(ResetMode mode)
{
    const HANDLE timer = ::CreateWaitableTimerW(nullptr, mode == ResetMode::Manual, nullptr);
    if (timer == nullptr) {
        SetLastSystemError(::GetLastError());
        return nullptr;
    }
    return std::unique_ptr<WaitableTimer>(new WaitableTimer(win32::DescriptorOf(timer), mode));
}

WaitableTimer::WaitableTimer(int handle, ResetMode mode) : m_handle(handle), m_mode(mode) {}

WaitableTimer::~WaitableTimer()
{
    ::CloseHandle(HandleFromDescriptor(m_handle));
}

bool WaitableTimer::Start(int64_t delayMs)
{
    // Arming clears the signalled state; a due time of 0 would be an absolute one, long past.
    return Arm(HandleFromDescriptor(m_handle), delayMs <= 0 ? -1 : -delayMs * 10000);
}

bool WaitableTimer::Cancel()
{
    // Cancelling alone would leave a timer that came due signalled; arming it first clears that.
    constexpr int64_t kFarAhead = -(int64_t{1} << 62);
    if (!Arm(HandleFromDescriptor(m_handle), kFarAhead))
        return false;
    if (::CancelWaitableTimer(HandleFromDescriptor(m_handle)))
        return true;
    SetLastSystemError(::GetLastError());
    return false;
}

int WaitableTimer::GetDescriptor() const
{
    return m_handle;
}

bool WaitableTimer::Consume()
{
    return win32::TakeSignalNow(HandleFromDescriptor(m_handle));
}

} // namespace platform
