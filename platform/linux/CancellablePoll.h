#pragma once
// The places where a thread of this layer can be terminated: a poll with cancellation opened
// for its duration, and a test of a termination that came meanwhile.

#include <poll.h>

namespace platform::linux_detail {

/// poll(2) during which Thread::Terminate may end the calling thread; errno is kept. Any thread.
int PollCancellable(pollfd* fds, nfds_t count, int timeoutMs);
/// Ends the calling thread here when Thread::Terminate was called for it. Any thread.
void EndIfCancelled();

} // namespace platform::linux_detail
