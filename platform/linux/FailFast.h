#pragma once
// Broken invariants of the layer (a failing epoll_ctl MOD, a failing wake-up write): the
// process cannot go on safely, so it says why and aborts, and the crash handler prints the trace.

namespace platform::detail {

/// Writes "what: <error text>" to standard error and aborts. Any thread.
[[noreturn]] void FailFast(const char* what, int errnoValue);

} // namespace platform::detail
