#include "platform/ResidentMemory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

TEST(ResidentMemoryTest, GrowsWithTouchedMemory)
{
    const uint64_t before = platform::GetResidentMemoryBytes();
    ASSERT_GT(before, 0u);
    constexpr size_t kSize = 64 << 20;
    std::unique_ptr<char[]> block(new char[kSize]);
    std::memset(block.get(), 1, kSize);
    const uint64_t after = platform::GetResidentMemoryBytes();
    EXPECT_GE(after, before + kSize / 2);
    EXPECT_EQ(block[kSize - 1], 1);
}
