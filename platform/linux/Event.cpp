#include "platform/Event.h"

#include "platform/SystemError.h"
#include "platform/linux/Counter.h"

#include <cerrno>
#include <sys/eventfd.h>

namespace platform {

using linux_detail::CounterRead;

std::unique_ptr<Event> Event::Create(ResetMode mode)
{
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        SetLastSystemError(static_cast<uint32_t>(errno));
        return nullptr;
    }
    return std::unique_ptr<Event>(new Event(fd, mode));
}

Event::Event(int handle, ResetMode mode) : m_handle(handle), m_mode(mode) {}

Event::~Event()
{
    linux_detail::CloseDescriptor(m_handle);
}

bool Event::Set()
{
    return linux_detail::AddToCounter(m_handle);
}

bool Event::Reset()
{
    return linux_detail::TakeCounter(m_handle) != CounterRead::Failed;
}

int Event::GetDescriptor() const
{
    return m_handle;
}

bool Event::Consume()
{
    if (m_mode == ResetMode::Manual)
        return true;
    return linux_detail::TakeCounter(m_handle) == CounterRead::Taken;
}

} // namespace platform
