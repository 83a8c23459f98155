#include "platform/Wait.h"

#include "platform/Clock.h"
#include "platform/SystemError.h"
#include "platform/linux/CancellablePoll.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace platform {
namespace {

using linux_detail::PollCancellable;

int RemainingMs(uint32_t timeoutMs, uint64_t start)
{
    if (timeoutMs == kInfinite)
        return -1;
    const uint64_t elapsed = GetTickCount64() - start;
    return elapsed >= timeoutMs ? 0 : static_cast<int>(std::min<uint64_t>(timeoutMs - elapsed, INT_MAX));
}

uint32_t Fail(int error)
{
    SetLastSystemError(static_cast<uint32_t>(error));
    return kWaitFailed;
}

} // namespace

uint32_t WaitForAny(WaitObject* const* objects, uint32_t count, uint32_t timeoutMs)
{
    if (objects == nullptr || count == 0 || count > kMaxWaitObjects)
        return Fail(EINVAL);
    pollfd fds[kMaxWaitObjects];
    for (uint32_t i = 0; i < count; ++i) {
        if (objects[i] == nullptr)
            return Fail(EINVAL);
        fds[i] = pollfd{objects[i]->GetDescriptor(), POLLIN, 0};
    }
    const uint64_t start = GetTickCount64();
    for (;;) {
        const int remaining = RemainingMs(timeoutMs, start);
        const int ready = PollCancellable(fds, count, remaining);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Fail(errno);
        }
        for (uint32_t i = 0; i < count; ++i) {
            if ((fds[i].revents & POLLNVAL) != 0)
                return Fail(EBADF);
            // Another waiter may take an auto-reset signal first; then the next one is tried.
            if (fds[i].revents != 0 && objects[i]->Consume())
                return i;
        }
        if (remaining == 0) {
            SetLastSystemError(ETIME);
            return kWaitTimeout;
        }
    }
}

} // namespace platform
