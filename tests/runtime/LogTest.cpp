#include "Subsidiary/Log.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <thread>
#include <vector>

namespace {

// True when `line` is "[YYYY/MM/DD hh:mm:ss.mmm] " followed by `rest`.
bool IsLogLine(std::string_view line, std::string_view rest)
{
    static constexpr std::string_view kShape = "[dddd/dd/dd dd:dd:dd.ddd] ";
    if (line.size() != kShape.size() + rest.size())
        return false;
    for (size_t i = 0; i < kShape.size(); ++i) {
        const bool same = kShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == kShape[i];
        if (!same)
            return false;
    }
    return line.substr(kShape.size()) == rest;
}

std::string LogAndCapture(std::string_view text, int32_t level, std::string_view origin)
{
    CStdoutCapture capture;
    LogMessage(text, level, origin);
    return capture.Take();
}

} // namespace

TEST(LogMessageTest, LineShapeDependsOnLevel)
{
    EXPECT_TRUE(IsLogLine(LogAndCapture("hello", LOG_MSG, "Main thread"), "Main thread : hello\r\n"));
    EXPECT_TRUE(IsLogLine(LogAndCapture("Unable to create timer handle!", LOG_ERR, "CQV_Server::DoRun()"),
                          "CQV_Server::DoRun() : ERR : Unable to create timer handle!\r\n"));
    EXPECT_TRUE(IsLogLine(LogAndCapture("odd", 2, "x"), "x : ??? : odd\r\n"));
}

TEST(LogMessageTest, PercentSignsArePrintedLiterally)
{
    const std::string line = LogAndCapture("%s and %d and %n", LOG_ERR, "origin %s");
    EXPECT_NE(line.find("] origin %s : ERR : %s and %d and %n\r\n"), std::string::npos) << line;
}

TEST(LogMessageTest, RedirectedOutputCarriesNoColourCodes)
{
    const std::string line = LogAndCapture("plain", LOG_ERR, "o");
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
}

TEST(LogMessageTest, ConcurrentLinesNeverInterleave)
{
    CStdoutCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                LogMessage(std::string(300, static_cast<char>('a' + t)), LOG_MSG, "thread");
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::istringstream lines(capture.Take());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        const char fill = line.size() > 2 ? line[line.size() - 2] : '?';
        ASSERT_TRUE(fill >= 'a' && fill <= 'd') << line.substr(0, 80);
        ASSERT_TRUE(IsLogLine(line, "thread : " + std::string(300, fill) + "\r")) << line.substr(0, 80);
    }
    EXPECT_EQ(count, 800);
}

TEST(FormatTimestampTest, RendersUtcWithPaddedFields)
{
    // 2009-01-02 03:04:05.006 UTC as 100 ns units since 1601-01-01.
    const uint64_t unixSeconds = 1230865445;
    const uint64_t fileTime = 116444736000000000ULL + unixSeconds * 10000000ULL + 6 * 10000ULL + 9999;
    EXPECT_EQ(FormatTimestamp(fileTime), "2009/01/02 03:04:05.006");
}

TEST(FormatStringTest, AcceptsWindowsSixtyFourBitConversions)
{
    EXPECT_EQ(FormatString("Feed %I64u started!", 18446744073709551615ULL), "Feed 18446744073709551615 started!");
    EXPECT_EQ(FormatString("%I64d|%5I64u|%-4I64d|", -5LL, 42ULL, 7LL), "-5|   42|7   |");
    EXPECT_EQ(FormatString("%%I64u %llu %lu", 3ULL, 4UL), "%I64u 3 4");
    EXPECT_EQ(FormatString("no conversions"), "no conversions");
}

TEST(FormatStringTest, KeepsTextsUpToTheLargestRoomAndCutsLongerOnes)
{
    for (size_t length : {0u, 2047u, 2048u, 2049u, 3000u, 6144u, 6145u, 30721u, 43007u, 43008u}) {
        const std::string text(length, 'x');
        EXPECT_EQ(FormatString("%s", text.c_str()), text) << length;
    }
    for (size_t length : {43009u, 50000u}) {
        const std::string text(length, 'y');
        EXPECT_EQ(FormatString("%s", text.c_str()), text.substr(0, 43008)) << length;
    }
}

TEST(LogFormattedTest, VariantsChooseTheirLevels)
{
    {
        CStdoutCapture capture;
        LogFormatted("CQV_Server::OnReceivePkt", "Unknown pkt ID : %d", int32_t{7});
        EXPECT_NE(capture.Take().find("CQV_Server::OnReceivePkt : ERR : Unknown pkt ID : 7\r\n"), std::string::npos);
    }
    {
        CStdoutCapture capture;
        LogFormatted("CQV_Server::OnClientConnected", "Client connected : %llu", uint64_t{1ULL << 40});
        EXPECT_NE(capture.Take().find("CQV_Server::OnClientConnected : Client connected : 1099511627776\r\n"),
                  std::string::npos);
    }
    {
        CStdoutCapture capture;
        LogFormatted("o", LOG_MSG, "Unable to start TCP server : %s", "why");
        LogSystemError("p", "Unable to create event : %s", "No such file or directory");
        const std::string out = capture.Take();
        EXPECT_NE(out.find("] o : Unable to start TCP server : why\r\n"), std::string::npos);
        EXPECT_NE(out.find("] p : ERR : Unable to create event : No such file or directory\r\n"), std::string::npos);
    }
}

TEST(PrintDirectTest, WritesTheTextAlone)
{
    CStdoutCapture capture;
    PrintDirect("%lu;", 3UL);
    PrintDirect("X");
    EXPECT_EQ(capture.Take(), "3;X");
}
