#pragma once
// The printed form of a back trace: numbered error lines between separators.

#include "platform/StackTrace.h"

#include <string>
#include <vector>

/// "#index : symbol[0xADDRESS] (file:line)", with "(No symbol)" where the symbol is unknown and
/// no line part where the line is unknown. Any thread.
std::string FormatFrameLine(int index, const platform::StackFrame& frame);

/// Logs the frames as the next numbered back trace (origin "BT[n]") titled with the name.
/// Any thread; concurrent traces may interleave line by line.
void PrintBackTrace(const std::string& name, const std::vector<platform::StackFrame>& frames);
