#include "store/client/ExportFileName.h"

#include "Subsidiary/Log.h"
#include "platform/Process.h"

std::string ExportFileName(const std::string& programPath, uint64_t processId)
{
    if (programPath.empty())
        return std::string();
    const size_t slash = platform::FindLastPathSeparator(programPath);
    const size_t dot = programPath.rfind('.');
    const bool dotInFileName = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string prefix = dotInFileName ? programPath.substr(0, dot) : programPath;
    return FormatString("%s_%I64u.txt", prefix.c_str(), static_cast<unsigned long long>(processId));
}
