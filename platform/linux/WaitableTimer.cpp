#include "platform/WaitableTimer.h"

#include "platform/SystemError.h"
#include "platform/linux/Counter.h"

#include <cerrno>
#include <sys/timerfd.h>

namespace platform {

namespace {

// Setting a timerfd's time also clears its count of expiries, so re-arming and cancelling
// both leave it non-signalled.
bool SetTime(int fd, const itimerspec& spec)
{
    if (::timerfd_settime(fd, 0, &spec, nullptr) == 0)
        return true;
    SetLastSystemError(static_cast<uint32_t>(errno));
    return false;
}

} // namespace

std::unique_ptr<WaitableTimer> WaitableTimer::Create(ResetMode mode)
{
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        SetLastSystemError(static_cast<uint32_t>(errno));
        return nullptr;
    }
    return std::unique_ptr<WaitableTimer>(new WaitableTimer(fd, mode));
}

WaitableTimer::WaitableTimer(int handle, ResetMode mode) : m_handle(handle), m_mode(mode) {}

WaitableTimer::~WaitableTimer()
{
    linux_detail::CloseDescriptor(m_handle);
}

bool WaitableTimer::Start(int64_t delayMs)
{
    itimerspec spec{};
    if (delayMs <= 0) {
        spec.it_value.tv_nsec = 1; // an all-zero due time would disarm the timer instead
    } else {
        spec.it_value.tv_sec = static_cast<time_t>(delayMs / 1000);
        spec.it_value.tv_nsec = static_cast<long>(delayMs % 1000) * 1000000L;
    }
    return SetTime(m_handle, spec);
}

bool WaitableTimer::Cancel()
{
    return SetTime(m_handle, itimerspec{});
}

int WaitableTimer::GetDescriptor() const
{
    return m_handle;
}

bool WaitableTimer::Consume()
{
    if (m_mode == ResetMode::Manual)
        return true;
    return linux_detail::TakeCounter(m_handle) == linux_detail::CounterRead::Taken;
}

} // namespace platform
