#pragma once
// Writes into a pipe or socket whose reader has gone (an operator's `| head`, a crashed
// `tee`, a client that vanished) must fail with an error, never end the process.

namespace platform {

/// Ignores SIGPIPE for the whole process; both programs and every test program call it once
/// at start, before other threads run; calling it again is harmless. Any thread.
void IgnoreBrokenPipe();

} // namespace platform
