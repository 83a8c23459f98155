#include "net/common/QVNET_SeqPkt.h"
#include "store/ChangeRecords.h"
#include "Subsidiary/ByteReader.h"
#include "store/RecordWriter.h"
#include "support/ArchiveErrorOf.h"
#include "support/RecordingPacketSink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ByteReaderTest, ReadsBackWhatTheWriterWrote)
{
    CRecordingPacketSink sink;
    CRecordWriter writer(sink);
    writer.WriteObjCreate(0xBEEF, 0x0102030405060708ULL, 2, std::string(2048, 'n'));
    writer.WritePropEntry(9, "");
    writer.WritePropEntry(10, "Okra");
    CUDPBuffRef packet = writer.TakeBuffer();

    CByteReader reader(packet->GetData() + QVNET_StreamHeader::kSize, packet->GetSize() - QVNET_StreamHeader::kSize);
    EXPECT_EQ(reader.GetU8(), OREC_OBJ_CREATE);
    EXPECT_EQ(reader.GetU16(), 0xBEEF);
    EXPECT_EQ(reader.GetU64(), 0x0102030405060708ULL);
    EXPECT_EQ(reader.GetU8(), 2);
    EXPECT_EQ(reader.GetString(), std::string(2048, 'n'));
    EXPECT_EQ(reader.GetU64(), 9u);
    EXPECT_EQ(reader.GetString(), "");
    EXPECT_EQ(reader.GetU64(), 10u);
    EXPECT_FALSE(reader.AtEnd());
    EXPECT_EQ(reader.GetString(), "Okra");
    EXPECT_TRUE(reader.AtEnd());
}

TEST(ByteReaderTest, CutOffFieldsAndUnterminatedStringsAreEndOfData)
{
    const std::vector<uint8_t> body{0x43, 1, 2, 3, 'a', 'b'};
    CByteReader reader(body.data(), static_cast<uint32_t>(body.size()));
    EXPECT_EQ(reader.GetU8(), 0x43);
    EXPECT_EQ(ArchiveErrorOf([&] { reader.GetU64(); }), OAE_END_OF_DATA);
    EXPECT_EQ(reader.GetU16(), 0x0201); // a failed read consumes nothing
    EXPECT_EQ(ArchiveErrorOf([&] { reader.GetString(); }), OAE_END_OF_DATA);
    EXPECT_EQ(reader.GetU8(), 3);
    EXPECT_EQ(reader.GetU16(), 0x6261);
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_EQ(ArchiveErrorOf([&] { reader.GetU8(); }), OAE_END_OF_DATA);
    EXPECT_EQ(ArchiveErrorOf([&] { reader.GetString(); }), OAE_END_OF_DATA);

    CByteReader empty(nullptr, 0);
    EXPECT_TRUE(empty.AtEnd());
    EXPECT_EQ(ArchiveErrorOf([&] { empty.GetString(); }), OAE_END_OF_DATA);
}
