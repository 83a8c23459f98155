#include "platform/linux/CancellablePoll.h"

#include <cerrno>
#include <pthread.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace platform::linux_detail {
namespace {

// Threads of this layer run with cancellation disabled; a wait opens it, so that Terminate
// can only end a thread here, never while it holds a lock or writes a log line.
class CancellationWindow {
public:
    CancellationWindow() { pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &m_nPrevious); }
    ~CancellationWindow()
    {
        if (!m_bClosed)
            ForgetStackPoison();
    }
    CancellationWindow(const CancellationWindow&) = delete;
    CancellationWindow& operator=(const CancellationWindow&) = delete;

    void Close()
    {
        pthread_setcancelstate(m_nPrevious, nullptr);
        m_bClosed = true;
    }

private:
    // Still open in the destructor means the thread is being cancelled. AddressSanitizer does
    // not see that unwind, and would report the frames it leaves behind once the stack is
    // used again.
    static void ForgetStackPoison()
    {
#if defined(__SANITIZE_ADDRESS__)
        __asan_handle_no_return();
#endif
    }

    int m_nPrevious = 0;
    bool m_bClosed = false;
};

} // namespace

int PollCancellable(pollfd* fds, nfds_t count, int timeoutMs)
{
    CancellationWindow window;
    const int ready = ::poll(fds, count, timeoutMs);
    const int error = errno;
    window.Close();
    errno = error;
    return ready;
}

void EndIfCancelled()
{
    CancellationWindow window;
    pthread_testcancel();
    window.Close();
}

} // namespace platform::linux_detail
