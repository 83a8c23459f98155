#include "Subsidiary/SettingsFile.h"

#include "Subsidiary/Log.h"
#include "platform/Inet.h"
#include "platform/Process.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsLocalhost(const std::string& text)
{
    static const std::string localhost = "localhost";
    return std::equal(text.begin(), text.end(), localhost.begin(), localhost.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
}

} // namespace

std::string MakeSettingsFileName(const std::string& exePath)
{
    if (exePath.empty())
        return std::string();
    const size_t dot = exePath.rfind('.');
    const size_t slash = platform::FindLastPathSeparator(exePath);
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? exePath.substr(0, dot) : exePath) + ".ini";
}

std::string LocateSettingsFile()
{
    std::string fileName = MakeSettingsFileName(platform::GetExecutablePath());
    if (fileName.empty())
        PrintDirect("Unable to get current exe file name!\r\n");
    return fileName;
}

bool OpenSettingsFile(CReadIni& ini, const std::string& fileName)
{
    if (ini.Open(fileName))
        return true;
    PrintDirect("Unable to open settings file : %s\r\n", fileName.c_str());
    return false;
}

bool ReadAddressSetting(const CReadIni& ini, const char* key, bool acceptLocalhost, uint32_t& address,
                        std::string& text)
{
    ini.GetString(SETTINGS_SECTION, key, "localhost", text);
    if (platform::ParseIPv4Address(text, address))
        return true;
    if (acceptLocalhost && IsLocalhost(text)) {
        address = platform::LoopbackIPv4Address();
        return true;
    }
    PrintDirect("Invalid '%s' in section '%s'!\r\n", key, SETTINGS_SECTION);
    return false;
}
