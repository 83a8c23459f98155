#include "platform/TerminationSignal.h"

#include "platform/linux/FailFast.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <initializer_list>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {
namespace {

// An eventfd that is written once per signal and never read, so it stays readable for good.
class TerminationSignal final : public WaitObject {
public:
    explicit TerminationSignal(int fd) : m_fd(fd) {}

    int GetDescriptor() const override { return m_fd; }
    bool Consume() override { return true; }

private:
    int m_fd;
};

int g_signalFd = -1;

extern "C" void OnTerminationSignal(int)
{
    const int saved = errno;
    const uint64_t one = 1;
    // Nothing can fail here that matters: a counter at its limit is signalled already.
    [[maybe_unused]] const ssize_t written = ::write(g_signalFd, &one, sizeof one);
    errno = saved;
}

TerminationSignal* Install()
{
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0)
        detail::FailFast("eventfd for the termination signals", errno);
    g_signalFd = fd;
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM})
        ::sigaction(signal, &action, nullptr);
    return new TerminationSignal(fd); // for the life of the process, as the handlers are
}

} // namespace

WaitObject& GetTerminationSignal()
{
    static TerminationSignal* const signal = Install();
    return *signal;
}

} // namespace platform
