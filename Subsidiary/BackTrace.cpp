#include "Subsidiary/BackTrace.h"

#include "Subsidiary/Log.h"

#include <atomic>

namespace {

const char* const kSeparator = "===================================================================";

std::atomic<int32_t> g_nextTraceNumber{0};

} // namespace

std::string FormatFrameLine(int index, const platform::StackFrame& frame)
{
    const std::string linePart = frame.file.empty() ? std::string() : FormatString(" (%s:%d)", frame.file.c_str(), frame.line);
    const char* symbol = frame.symbol.empty() ? "(No symbol)" : frame.symbol.c_str();
    return FormatString("#%d : %s[0x%08llX]%s", index, symbol, static_cast<unsigned long long>(frame.address),
                        linePart.c_str());
}

void PrintBackTrace(const std::string& name, const std::vector<platform::StackFrame>& frames)
{
    const std::string origin = FormatString("BT[%d]", g_nextTraceNumber.fetch_add(1));
    const std::string separatorLine = std::string(kSeparator) + "\n";
    LogMessage(separatorLine, LOG_ERR, origin);
    LogMessage(FormatString("%s - Back trace\n", name.c_str()), LOG_ERR, origin);
    LogMessage(separatorLine, LOG_ERR, origin);
    for (size_t i = 0; i < frames.size(); ++i)
        LogMessage(FormatFrameLine(static_cast<int>(i), frames[i]), LOG_ERR, origin);
    LogMessage(kSeparator, LOG_ERR, origin);
}
