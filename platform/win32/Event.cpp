#include "platform/Event.h"

#include "platform/SystemError.h"
#include "platform/win32/WaitHandle.h"

namespace platform {

using win32::HandleFromDescriptor;

using win32::DescriptorOf;

namespace {

bool Check(BOOL ok)
{
    if (!ok)
        SetLastSystemError(::GetLastError());
    return ok != 0;
}

} // namespace

std::unique_ptr<Event> Event::Create(ResetMode mode)
{
    const HANDLE event = ::CreateEventW(nullptr, mode == ResetMode::Manual, FALSE, nullptr);
    if (event == nullptr) {
        SetLastSystemError(::GetLastError());
        return nullptr;
    }
    return std::unique_ptr<Event>(new Event(DescriptorOf(event), mode));
}

Event::Event(int handle, ResetMode mode) : m_handle(handle), m_mode(mode) {}

Event::~Event()
{
    ::CloseHandle(HandleFromDescriptor(m_handle));
}

bool Event::Set()
{
    return Check(::SetEvent(HandleFromDescriptor(m_handle)));
}

bool Event::Reset()
{
    return Check(::ResetEvent(HandleFromDescriptor(m_handle)));
}

int Event::GetDescriptor() const
{
    return m_handle;
}

bool Event::Consume()
{
    // A wait of the system has taken an auto-reset signal already; this is the look of a
    // caller that chose the event some other way.
    return win32::TakeSignalNow(HandleFromDescriptor(m_handle));
}

} // namespace platform
