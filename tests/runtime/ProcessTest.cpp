#include "platform/Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <unistd.h>

TEST(ProcessTest, ExecutablePathNamesThisTestProgram)
{
    const std::filesystem::path path = platform::GetExecutablePath();
    EXPECT_TRUE(path.is_absolute()) << path;
    EXPECT_EQ(path.stem(), "runtime_tests"); // ".exe" follows on Windows
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
}

TEST(ProcessTest, ProcessIdAndProcessorCount)
{
    EXPECT_EQ(platform::GetCurrentProcessId(), static_cast<uint32_t>(getpid()));
    EXPECT_GE(platform::GetProcessorCount(), 1u);
    EXPECT_EQ(platform::GetProcessorCount(), std::thread::hardware_concurrency());
}
