#include "Subsidiary/ObjArchiveException.h"
#include "Subsidiary/UDPBuff.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

uint32_t ThrownType(const std::function<void()>& action)
{
    try {
        action();
    } catch (const CObjArchiveException& e) {
        return e.GetType();
    }
    return UINT32_MAX;
}

} // namespace

TEST(UDPBuffTest, PutsAreLittleEndianAndUnaligned)
{
    CUDPBuffRef buf = MakeUDPBuff(32);
    buf->PutU8(0x01);
    buf->PutU16(0x0302);
    buf->PutU64(0x0B0A090807060504ULL);
    buf->PutU32(0x0F0E0D0C);
    buf->PutBytes("\x10\x11", 2);
    const std::vector<uint8_t> expected{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    ASSERT_EQ(buf->GetSize(), expected.size());
    EXPECT_EQ(std::vector<uint8_t>(buf->GetData(), buf->GetData() + buf->GetSize()), expected);

    EXPECT_EQ(buf->GetU8(), 0x01);
    EXPECT_EQ(buf->GetU16(), 0x0302);
    EXPECT_EQ(buf->GetU64(), 0x0B0A090807060504ULL);
    EXPECT_EQ(buf->GetU32(), 0x0F0E0D0Cu);
    EXPECT_EQ(buf->GetReadPos(), 15u);
}

TEST(UDPBuffTest, PutBeyondCapacityThrowsAndWritesNothing)
{
    CUDPBuffRef buf = MakeUDPBuff(4096);
    buf->SetSize(4095);
    EXPECT_EQ(ThrownType([&] { buf->PutU16(1); }), OAE_OUT_OF_MEMORY);
    EXPECT_EQ(buf->GetSize(), 4095u);
    EXPECT_EQ(ThrownType([&] { buf->PutU64(1); }), OAE_OUT_OF_MEMORY);
    EXPECT_EQ(ThrownType([&] { buf->PutString("a"); }), OAE_OUT_OF_MEMORY);
    EXPECT_EQ(buf->GetSize(), 4095u);
    buf->PutU8(7);
    EXPECT_EQ(buf->GetSize(), 4096u);
    EXPECT_EQ(ThrownType([&] { buf->PutBytes("x", 1); }), OAE_OUT_OF_MEMORY);
}

TEST(UDPBuffTest, StringLimitIs2048Characters)
{
    CUDPBuffRef buf = MakeUDPBuff(4096);
    buf->PutString(std::string(2048, 'n'));
    EXPECT_EQ(buf->GetSize(), 2049u);
    EXPECT_EQ(ThrownType([&] { buf->PutString(std::string(2049, 'n')); }), OAE_STRING_TOO_LONG);
    EXPECT_EQ(buf->GetSize(), 2049u);

    // The length check comes before the room check.
    CUDPBuffRef small = MakeUDPBuff(10);
    EXPECT_EQ(ThrownType([&] { small->PutString(std::string(2049, 'n')); }), OAE_STRING_TOO_LONG);

    buf->PutString("");
    EXPECT_EQ(buf->GetSize(), 2050u);
    EXPECT_EQ(buf->GetData()[2049], 0);
    EXPECT_EQ(buf->GetString(), std::string(2048, 'n'));
    EXPECT_EQ(buf->GetString(), "");
}

TEST(UDPBuffTest, ReadsStopAtTheCapacity)
{
    CUDPBuffRef buf = MakeUDPBuff(11);
    buf->PutU64(5);
    buf->PutBytes("ab", 2);
    buf->PutU8('c');
    EXPECT_EQ(buf->GetU64(), 5u);
    // No zero byte among the remaining bytes: the read position stays where it was.
    EXPECT_EQ(ThrownType([&] { buf->GetString(); }), OAE_END_OF_DATA);
    EXPECT_EQ(buf->GetReadPos(), 8u);
    EXPECT_EQ(ThrownType([&] { buf->GetU64(); }), OAE_END_OF_DATA);
    EXPECT_EQ(buf->GetU16(), 0x6261);
    EXPECT_EQ(ThrownType([&] { buf->GetU16(); }), OAE_END_OF_DATA);
    EXPECT_EQ(buf->GetU8(), 'c');
    EXPECT_EQ(ThrownType([&] { buf->GetU8(); }), OAE_END_OF_DATA);
}

TEST(UDPBuffTest, RollbackReturnsToTheCommitMark)
{
    CUDPBuffRef buf = MakeUDPBuff(64);
    buf->SetSize(13);
    buf->SetMark(buf->GetSize());
    buf->PutU8(0x43);
    buf->PutU64(9);
    buf->RollbackToMark();
    EXPECT_EQ(buf->GetSize(), 13u);

    // A mark past the capacity would let a rollback move the write position out of the buffer.
    buf->SetMark(64);
    EXPECT_EQ(ThrownType([&] { buf->SetMark(65); }), OAE_OUT_OF_MEMORY);
    EXPECT_EQ(buf->GetMark(), 64u);
}

TEST(UDPBuffTest, StringWithAZeroInsideIsRefused)
{
    // The reader would end the string at the zero and read the rest as the next fields.
    CUDPBuffRef buf = MakeUDPBuff(64);
    for (const std::string& text : {std::string("ab\0cd", 5), std::string(1, '\0'), std::string("end\0", 4)}) {
        EXPECT_EQ(ThrownType([&] { buf->PutString(text); }), OAE_STRING_TOO_LONG) << text.size();
        EXPECT_EQ(buf->GetSize(), 0u);
    }
}

TEST(UDPBuffTest, ExceptionTextsFollowTheType)
{
    EXPECT_STREQ(CObjArchiveException(0).what(), "OK!");
    EXPECT_STREQ(CObjArchiveException(1).what(), "Unexpected end of data!");
    EXPECT_STREQ(CObjArchiveException(2).what(), "Out of memory!");
    EXPECT_STREQ(CObjArchiveException(3).what(), "String too long!");
    EXPECT_STREQ(CObjArchiveException(4).what(), "Unknown exception!");
    const CObjArchiveException original(3);
    const CObjArchiveException copy(original);
    EXPECT_EQ(copy.GetType(), 3u);
    const std::logic_error& base = copy;
    EXPECT_STREQ(base.what(), "String too long!");
}

TEST(UDPBuffTest, ReferenceCountingAcrossThreadsFreesOnce)
{
    CUDPBuff* raw = new CUDPBuff(4096);
    EXPECT_EQ(raw->GetRefCount(), 1);
    EXPECT_EQ(raw->AddRef(), raw);
    EXPECT_EQ(raw->GetRefCount(), 2);
    EXPECT_EQ(raw->Release(), 1);

    constexpr int kThreads = 4;
    constexpr int kRounds = 100000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([raw] {
            for (int i = 0; i < kRounds; ++i) {
                raw->AddRef();
                raw->Release();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(raw->GetRefCount(), 1);
    EXPECT_EQ(raw->Release(), 0); // frees it; the sanitizer build checks there is no second free
}

TEST(UDPBuffTest, RefPtrKeepsOneReferencePerHandle)
{
    CUDPBuffRef first = MakeUDPBuff(8);
    CUDPBuff* raw = first.Get();
    {
        CUDPBuffRef second = first;
        EXPECT_EQ(raw->GetRefCount(), 2);
        CUDPBuffRef third = std::move(second);
        EXPECT_EQ(raw->GetRefCount(), 2);
    }
    EXPECT_EQ(raw->GetRefCount(), 1);
    CUDPBuff* detached = first.Detach();
    EXPECT_FALSE(first);
    CUDPBuffRef adopted = CUDPBuffRef::Adopt(detached);
    EXPECT_EQ(raw->GetRefCount(), 1);
}
