#pragma once
// The resolver's failures (getaddrinfo) as Winsock numbers.

namespace platform::linux_detail {

/// 11001 no such host, 11002 try again, 11004 the name has no IPv4 address, 8 no memory, the
/// errno's number for EAI_SYSTEM, 11003 for any other failure. Any thread.
int WinsockErrorFromResolver(int code, int errnoValue);

} // namespace platform::linux_detail
