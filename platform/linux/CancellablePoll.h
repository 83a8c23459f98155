#pragma once
// The one place where a thread of this layer can be terminated: a poll with cancellation
// opened for its duration.

#include <poll.h>

namespace platform::linux_detail {

/// poll(2) during which Thread::Terminate may end the calling thread; errno is kept. Any thread.
int PollCancellable(pollfd* fds, nfds_t count, int timeoutMs);

} // namespace platform::linux_detail
