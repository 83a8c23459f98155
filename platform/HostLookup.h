#pragma once
// Host names to IPv4 addresses.

#include <cstdint>
#include <string>

namespace platform {

/// The address of a host: a dotted IPv4 text as it stands (ParseIPv4Address), otherwise the
/// first IPv4 address the resolver gives for the name. False with the last socket error set
/// to 11001 (no such host), 11002 (try again), 11003 (the resolver failed) or 11004 (the name
/// has no IPv4 address). May wait for the network; Thread::Terminate may end the thread when
/// the resolver returns. Any thread.
bool LookupHostIPv4(const std::string& host, uint32_t* address);

} // namespace platform
