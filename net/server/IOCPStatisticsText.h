#pragma once
// The server's statistics text: the totals of every slot's archives, the five slots holding
// the most archive memory, and the slots dropped because a send hung.

#include "net/server/IOCPClientStats.h"

#include <cstdint>
#include <string>
#include <vector>

/// The text for the slots' records (in slot order) and the send-stuck records (oldest first).
std::string FormatStatisticsText(std::vector<CIOCPClientStats> slots, const std::vector<CIOCPClientStats>& stuck);

/// Copies the text into the buffer, cut to size - 1 characters and zero-terminated; nothing
/// for a size of 0.
void CopyTruncated(const std::string& text, char* buffer, uint32_t size);
