#include "platform/TerminationSignal.h"

#include "platform/win32/FailFast.h"
#include "platform/win32/WaitHandle.h"

namespace platform {
namespace {

// A manual-reset event that the console's control handler sets and nobody resets.
class TerminationSignal final : public WaitObject {
public:
    explicit TerminationSignal(HANDLE event) : m_event(event) {}

    int GetDescriptor() const override { return win32::DescriptorOf(m_event); }
    bool Consume() override { return true; }

private:
    HANDLE m_event;
};

HANDLE g_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    ::SetEvent(g_event);
    // The system ends the process once this returns from a closing console, a log-off or a
    // shutdown; waiting here gives the program's own shutdown the time the system allows it.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        ::Sleep(INFINITE);
    return TRUE; // Ctrl+C and Ctrl+Break are handled: the program shuts down by itself
}

TerminationSignal* Install()
{
    g_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_event == nullptr)
        win32::FailFast("event for the termination signals", ::GetLastError());
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return new TerminationSignal(g_event); // for the life of the process, as the handler is
}

} // namespace

WaitObject& GetTerminationSignal()
{
    static TerminationSignal* const signal = Install();
    return *signal;
}

} // namespace platform
