#include "platform/linux/Counter.h"

#include "platform/SystemError.h"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

namespace platform::linux_detail {

CounterRead TakeCounter(int fd)
{
    uint64_t value = 0;
    for (;;) {
        if (::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value))
            return CounterRead::Taken;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return CounterRead::Empty;
        SetLastSystemError(static_cast<uint32_t>(errno));
        return CounterRead::Failed;
    }
}

bool AddToCounter(int fd)
{
    const uint64_t one = 1;
    for (;;) {
        if (::write(fd, &one, sizeof one) == static_cast<ssize_t>(sizeof one))
            return true;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return true;
        SetLastSystemError(static_cast<uint32_t>(errno));
        return false;
    }
}

void CloseDescriptor(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

} // namespace platform::linux_detail
