#include "Subsidiary/BackTrace.h"
#include "Subsidiary/DBGMonitor.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

const std::string kSeparator(67, '=');

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The body after the log prefix "[timestamp] BT[n] : ERR : ", with the trace number.
struct TraceLine {
    int number;
    std::string text;
};

// Lines that are not "[timestamp] BT[n] : ERR : text" get the number -1.
std::vector<TraceLine> ParseTrace(const std::string& output)
{
    std::vector<TraceLine> lines;
    for (const std::string& line : SplitLines(output)) {
        const size_t open = line.find("] BT[");
        const size_t close = line.find("] : ERR : ", open == std::string::npos ? 0 : open + 5);
        if (line.rfind("[", 0) != 0 || open == std::string::npos || close == std::string::npos)
            lines.push_back({-1, line});
        else
            lines.push_back({std::stoi(line.substr(open + 5, close - open - 5)), line.substr(close + 10)});
    }
    return lines;
}

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

__attribute__((noinline)) std::string TraceFromHere(const char* name)
{
    CStdoutCapture capture;
    CDBGMonitor::BackTrace(name);
    return capture.Take();
}

__attribute__((noinline)) int KnownFunction(int value)
{
    return value * 3 + 1;
}

} // namespace

TEST(BackTraceTest, PrintsTitledTraceStartingAtTheCaller)
{
    const auto lines = ParseTrace(TraceFromHere("Deadlock"));
    ASSERT_GE(lines.size(), 9u);
    // Texts ending in a line feed leave an empty line before the log's own line end.
    EXPECT_EQ(lines[0].text, kSeparator);
    EXPECT_EQ(lines[1].text, "");
    EXPECT_EQ(lines[2].text, "Deadlock - Back trace");
    EXPECT_EQ(lines[3].text, "");
    EXPECT_EQ(lines[4].text, kSeparator);
    EXPECT_EQ(lines[5].text, "");
    EXPECT_EQ(lines.back().text, kSeparator);
    for (const TraceLine& line : lines) {
        if (!line.text.empty()) {
            EXPECT_EQ(line.number, lines[0].number) << line.text;
        }
    }
    const std::string& frameZero = lines[6].text;
    EXPECT_EQ(frameZero.rfind("#0 : ", 0), 0u) << frameZero;
    EXPECT_TRUE(Contains(frameZero, "TraceFromHere(char const*)[0x")) << frameZero;
    EXPECT_TRUE(Contains(frameZero, "BackTraceTest.cpp:")) << frameZero;
    EXPECT_EQ(frameZero.back(), ')') << frameZero;
    EXPECT_EQ(lines[7].text.rfind("#1 : ", 0), 0u) << lines[7].text;
    EXPECT_TRUE(Contains(lines[7].text, "TestBody")) << lines[7].text;
}

TEST(BackTraceTest, TraceNumbersGrowAndFrameIndexRestarts)
{
    const auto first = ParseTrace(TraceFromHere("One"));
    const auto second = ParseTrace(TraceFromHere("Two"));
    ASSERT_GE(first.size(), 7u);
    ASSERT_GE(second.size(), 7u);
    EXPECT_EQ(second[0].number, first[0].number + 1);
    EXPECT_EQ(second[6].text.rfind("#0 : ", 0), 0u) << second[6].text;
}

TEST(BackTraceTest, FrameLineFormats)
{
    platform::StackFrame frame;
    frame.address = 0xABCD;
    EXPECT_EQ(FormatFrameLine(0, frame), "#0 : (No symbol)[0x0000ABCD]");
    frame.address = 0x7FFF12345678;
    frame.symbol = "CQV_Server::DoRun()";
    EXPECT_EQ(FormatFrameLine(12, frame), "#12 : CQV_Server::DoRun()[0x7FFF12345678]");
    frame.file = "/src/server/QV_Server.cpp";
    frame.line = 42;
    EXPECT_EQ(FormatFrameLine(3, frame), "#3 : CQV_Server::DoRun()[0x7FFF12345678] (/src/server/QV_Server.cpp:42)");
}

TEST(BackTraceTest, UnknownAddressHasNoSymbolAndNoLine)
{
    const platform::StackFrame frame = platform::LookupAddress(16, false);
    EXPECT_TRUE(frame.symbol.empty());
    EXPECT_TRUE(frame.file.empty());
    EXPECT_EQ(frame.address, 16u);
}

TEST(BackTraceTest, WalkWithContextStartsAtItsInstruction)
{
    EXPECT_EQ(KnownFunction(2), 7);
    platform::FaultContext context;
    context.instructionPointer = reinterpret_cast<uint64_t>(&KnownFunction);
    const auto frames = platform::WalkStack(&context, 0);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].address, context.instructionPointer);
    EXPECT_NE(frames[0].symbol.find("KnownFunction"), std::string::npos) << frames[0].symbol;
    EXPECT_NE(frames[0].file.find("BackTraceTest.cpp"), std::string::npos) << frames[0].file;
}
