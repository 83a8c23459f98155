#pragma once
// Steps both programs' settings share: finding the file beside the program, opening it and
// reading address keys. Failures print their message straight to standard output, since
// the settings are read before anything else of the program runs.

#include "Subsidiary/ReadIni.h"

#include <cstdint>
#include <string>

/// The one section both programs read.
inline constexpr const char* SETTINGS_SECTION = "SERVER";

/// The program's path with its extension replaced by ".ini" ("/opt/qv/QV_Server" gives
/// "/opt/qv/QV_Server.ini"; a '.' counts only in the file-name part). Empty for an empty path.
/// Any thread.
std::string MakeSettingsFileName(const std::string& exePath);

/// The settings file beside the running program, or an empty name after printing
/// "Unable to get current exe file name!". Main thread.
std::string LocateSettingsFile();

/// Opens and parses the file; prints "Unable to open settings file : <name>" on failure.
/// Main thread.
bool OpenSettingsFile(CReadIni& ini, const std::string& fileName);

/// Reads an address key of the section (default "localhost") into `text` and converts it into
/// `address` (network byte order). With `acceptLocalhost`, "localhost" in any letter case
/// gives 127.0.0.1. Prints "Invalid '<key>' in section 'SERVER'!" and returns false when the
/// text is no address. Main thread.
bool ReadAddressSetting(const CReadIni& ini, const char* key, bool acceptLocalhost, uint32_t& address,
                        std::string& text);
