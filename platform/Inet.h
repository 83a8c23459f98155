#pragma once
// IPv4 address texts.

#include <cstdint>
#include <string>

namespace platform {

/// Converts a dotted IPv4 address into network byte order. Takes the shorter dotted forms
/// ("10.1" is 10.0.0.1) and stops at the first white space, so "239.1.1.1 # group" converts.
/// 255.255.255.255 is a valid address. False when the text is no address. Any thread.
bool ParseIPv4Address(const std::string& text, uint32_t& address);

/// 127.0.0.1 in network byte order. Any thread.
uint32_t LoopbackIPv4Address();

} // namespace platform
