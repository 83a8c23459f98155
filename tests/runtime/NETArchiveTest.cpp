#include "Subsidiary/NETArchive.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Contents(const CNETArchive& archive)
{
    return std::string(reinterpret_cast<const char*>(archive.GetData()), archive.GetCount());
}

} // namespace

TEST(NETArchiveTest, NewArchiveHoldsNoStorageAndEmptyAppendAllocatesNothing)
{
    CNETArchive archive(512);
    EXPECT_EQ(archive.GetData(), nullptr);
    EXPECT_TRUE(archive.Append("", 0));
    EXPECT_EQ(archive.GetData(), nullptr);
    EXPECT_EQ(archive.GetCapacity(), 0u);
}

TEST(NETArchiveTest, AppendGrowsByTheStepAndKeepsTheBytes)
{
    CNETArchive archive(16);
    ASSERT_TRUE(archive.Append("hello", 5));
    EXPECT_EQ(archive.GetCapacity(), 21u);
    ASSERT_TRUE(archive.Append(" world, and more", 16));
    EXPECT_EQ(archive.GetCapacity(), 21u);
    ASSERT_TRUE(archive.Append("!", 1));
    EXPECT_EQ(archive.GetCapacity(), 22u + 16u);
    EXPECT_EQ(Contents(archive), "hello world, and more!");
}

TEST(NETArchiveTest, GrowthKeepsTheReadPositionIndex)
{
    CNETArchive archive(4);
    ASSERT_TRUE(archive.Append("abcdef", 6));
    archive.SetReadOffset(3);
    const uint8_t* before = archive.GetData();
    ASSERT_TRUE(archive.Reserve(4096));
    EXPECT_NE(archive.GetData(), before);
    EXPECT_EQ(archive.GetReadOffset(), 3u);
    EXPECT_EQ(Contents(archive), "abcdef");
}

TEST(NETArchiveTest, ConsumeRemovesBytesFromTheFront)
{
    CNETArchive archive(0);
    ASSERT_TRUE(archive.Append("0123456789", 10));
    archive.Consume(4);
    EXPECT_EQ(Contents(archive), "456789");
    archive.Consume(0);
    EXPECT_EQ(Contents(archive), "456789");
    archive.Consume(100); // never more than it holds
    EXPECT_EQ(archive.GetCount(), 0u);
    ASSERT_TRUE(archive.Append("xy", 2));
    EXPECT_EQ(Contents(archive), "xy");
}

TEST(NETArchiveTest, HeadersCanBeWrittenInPlace)
{
    CNETArchive archive(0);
    ASSERT_TRUE(archive.Append("ab", 2));
    ASSERT_TRUE(archive.Reserve(archive.GetCount() + 3));
    archive.GetData()[2] = 'c';
    archive.GetData()[3] = 'd';
    archive.GetData()[4] = 'e';
    archive.Commit(3);
    EXPECT_EQ(Contents(archive), "abcde");
    archive.Clear();
    EXPECT_EQ(archive.GetCount(), 0u);
    EXPECT_NE(archive.GetData(), nullptr);
    archive.Free();
    EXPECT_EQ(archive.GetData(), nullptr);
}

TEST(NETArchiveTest, ImpossibleGrowthFailsAndLeavesTheArchiveUnchanged)
{
    CNETArchive archive(16);
    ASSERT_TRUE(archive.Append("abc", 3));
    EXPECT_FALSE(archive.Reserve(UINT32_MAX - 10));
    EXPECT_EQ(Contents(archive), "abc");
}

TEST(NETArchiveTest, ReserveWithinTheCapacityKeepsTheStorage)
{
    CNETArchive archive(500000);
    ASSERT_TRUE(archive.Append("0123456789", 10));
    const uint8_t* storage = archive.GetData();
    const uint32_t capacity = archive.GetCapacity();
    // Below the valid bytes (copying them all into a smaller block would overrun it), at the
    // count, and a header's worth more: none of them reallocates.
    for (uint32_t needed : {0u, 3u, 10u, 20u, capacity}) {
        ASSERT_TRUE(archive.Reserve(needed)) << needed;
        EXPECT_EQ(archive.GetData(), storage) << needed;
        EXPECT_EQ(archive.GetCapacity(), capacity) << needed;
    }
    EXPECT_EQ(Contents(archive), "0123456789");
    ASSERT_TRUE(archive.Reserve(capacity + 1));
    EXPECT_EQ(archive.GetCapacity(), capacity + 1 + 500000);
    EXPECT_EQ(Contents(archive), "0123456789");
}
