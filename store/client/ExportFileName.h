#pragma once
// The name of the client's object export: the program path without its extension, an
// underscore, the process id and ".txt".

#include <cstdint>
#include <string>

/// Cuts at the last '.' only when it lies in the file-name part of the path, so that a
/// program without an extension keeps its whole path. Empty when the path is unknown.
std::string ExportFileName(const std::string& programPath, uint64_t processId);
