#include "net/common/QVNET_SeqPkt.h"
#include "store/ChangeRecords.h"
#include "store/RecordWriter.h"
#include "support/ArchiveErrorOf.h"
#include "support/RecordingPacketSink.h"
#include "Subsidiary/LittleEndian.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kBody = QVNET_StreamHeader::kMaxSize - QVNET_StreamHeader::kSize;

std::vector<uint8_t> Bytes(const CUDPBuff& buffer, uint32_t from = 0)
{
    return std::vector<uint8_t>(buffer.GetData() + from, buffer.GetData() + buffer.GetSize());
}

// The size the writer added to its current packet for one record.
template <class WriteRecord>
uint32_t WrittenSize(WriteRecord write)
{
    CRecordingPacketSink sink;
    CRecordWriter writer(sink);
    write(writer);
    return writer.TakeBuffer()->GetSize() - QVNET_StreamHeader::kSize;
}

} // namespace

TEST(RecordWriterTest, RecordsHaveTheirTableSizesAndTheFitTestUsesThem)
{
    // Literal sizes from the record table; the fit test's size of each kind must be the
    // number of bytes its record really takes, or packets overflow or close too early.
    const std::string v = "abcde";
    const std::string name2048(2048, 'n');
    struct Case {
        const char* record;
        std::function<void(CRecordWriter&)> write;
        uint32_t fitSize;
        uint32_t literal;
    };
    const Case cases[] = {
        {"type def", [&](CRecordWriter& w) { w.WriteTypeDef(1, v); }, TypeDefSize(v), 9},
        {"prop def", [&](CRecordWriter& w) { w.WritePropDef(1, v); }, PropDefSize(v), 15},
        {"obj create", [&](CRecordWriter& w) { w.WriteObjCreate(1, 1, 0, v); }, ObjCreateSize(v), 18},
        {"obj create 2048", [&](CRecordWriter& w) { w.WriteObjCreate(1, 1, 0, name2048); }, ObjCreateSize(name2048), 2061},
        {"prop entry", [&](CRecordWriter& w) { w.WritePropEntry(1, v); }, PropEntrySize(v), 14},
        {"prop change", [&](CRecordWriter& w) { w.WritePropRecord(OREC_PROP_CHANGE, 1, 2, v); }, PropRecordSize(v), 23},
        {"empty value", [&](CRecordWriter& w) { w.WritePropRecord(OREC_PROP_ADD, 1, 2, ""); }, PropRecordSize(""), 18},
        {"feed complete", [&](CRecordWriter& w) { w.WriteFeedComplete(7); }, kFeedCompleteSize, 9},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WrittenSize(c.write), c.literal) << c.record;
        EXPECT_EQ(c.fitSize, c.literal) << c.record;
    }
}

TEST(RecordWriterTest, TokensAndTheCheckValueHaveTheirWireBytes)
{
    const std::pair<uint8_t, uint8_t> tokens[] = {
        {OREC_TYPE_DEF, 0x11}, {OREC_PROP_DEF, 0x21},      {OREC_OBJ_CREATE, 0x31},
        {OREC_OBJ_DELETE, 0x32}, {OREC_PROP_ADD, 0x41},    {OREC_PROP_CHANGE, 0x43},
        {OREC_FEED_COMPLETE, 0x50}, {OREC_PROP_COPY, 0x60}, {OREC_CHECK, 0xF0},
    };
    for (const auto& [token, wire] : tokens)
        EXPECT_EQ(token, wire);
    uint8_t check[8];
    StoreU64LE(check, OREC_CHECK_VALUE);
    EXPECT_EQ(std::vector<uint8_t>(check, check + 8),
              (std::vector<uint8_t>{0xAA, 0x55, 0x00, 0xFF, 0x78, 0x56, 0x34, 0x12}));
}

TEST(RecordWriterTest, FieldsAreLittleEndianInTableOrder)
{
    CRecordingPacketSink sink;
    CRecordWriter writer(sink);
    writer.WriteTypeDef(0x0102, "T");
    writer.WriteObjCreate(0x0102, 0x1122334455667788ULL, 3, "o");
    writer.WritePropRecord(OREC_PROP_ADD, 5, 6, "v");
    const std::vector<uint8_t> expected{
        0x11, 0x02, 0x01, 'T', 0,
        0x31, 0x02, 0x01, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 3, 'o', 0,
        0x41, 5, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 'v', 0};
    EXPECT_EQ(Bytes(*writer.TakeBuffer(), QVNET_StreamHeader::kSize), expected);
}

TEST(RecordWriterTest, ExactFitStaysAndOneByteMoreClosesThePacket)
{
    CRecordingPacketSink sink;
    CRecordWriter writer(sink);
    writer.WritePropRecord(OREC_PROP_ADD, 1, 1, std::string(2000, 'a')); // 2018 bytes
    const uint32_t room = kBody - 2018;                                 // 2065
    writer.WritePropRecord(OREC_PROP_CHANGE, 1, 1, std::string(room - 18, 'b'));
    EXPECT_TRUE(sink.m_vecPackets.empty());
    EXPECT_EQ(writer.TakeBuffer()->GetSize(), QVNET_StreamHeader::kMaxSize);

    CRecordingPacketSink sink2;
    CRecordWriter writer2(sink2);
    writer2.WritePropRecord(OREC_PROP_ADD, 1, 1, std::string(2000, 'a'));
    writer2.WritePropRecord(OREC_PROP_CHANGE, 1, 1, std::string(room - 17, 'b'));
    ASSERT_EQ(sink2.m_vecPackets.size(), 1u);
    EXPECT_EQ(sink2.m_vecPackets[0]->GetSize(), QVNET_StreamHeader::kSize + 2018);
    EXPECT_EQ(writer2.TakeBuffer()->GetSize(), QVNET_StreamHeader::kSize + room + 1);
}

TEST(RecordWriterTest, ClosedPacketCarriesIdLengthAndTagAndTheWriterLetsGo)
{
    CRecordingPacketSink sink;
    CRecordWriter writer(sink);
    writer.WriteFeedComplete(1);
    writer.ClosePacket();
    EXPECT_FALSE(writer.HasBuffer());
    ASSERT_EQ(sink.m_vecPackets.size(), 1u);
    CUDPBuff& packet = *sink.m_vecPackets[0];
    EXPECT_EQ(packet.GetData()[0], QVNET_StreamHeader::kId);
    EXPECT_EQ(LoadU32LE(packet.GetData() + 1), QVNET_StreamHeader::kSize + 9);
    EXPECT_EQ(packet.GetTag(), CRecordingPacketSink::kTag);
    EXPECT_EQ(packet.GetRefCount(), 1); // only the sink holds it now

    writer.ClosePacket(); // nothing current: nothing to close
    EXPECT_EQ(sink.m_vecPackets.size(), 1u);
}

TEST(RecordWriterTest, FailedRecordLeavesTheBufferAsItWas)
{
    CRecordingPacketSink sink;
    CRecordWriter writer(sink);
    writer.WritePropDef(1, "Kale");
    const std::vector<uint8_t> before = Bytes(*writer.GetBuffer());

    // It passes the fit test and writes its token and ids before the value is refused.
    EXPECT_EQ(ArchiveErrorOf([&] { writer.WritePropRecord(OREC_PROP_ADD, 1, 1, std::string(2049, 'x')); }),
              OAE_STRING_TOO_LONG);
    EXPECT_EQ(Bytes(*writer.GetBuffer()), before);
    writer.WriteFeedComplete(2); // the next record follows the last whole one
    EXPECT_EQ(writer.GetBuffer()->GetSize(), before.size() + 9);
    EXPECT_EQ(writer.GetBuffer()->GetData()[before.size()], OREC_FEED_COMPLETE);
    EXPECT_TRUE(sink.m_vecPackets.empty());
}

TEST(RecordWriterTest, FailedRecordInAFreshPacketLeavesItEmpty)
{
    CRecordingPacketSink sink;
    CRecordWriter writer(sink);
    writer.WritePropRecord(OREC_PROP_ADD, 1, 1, std::string(2048, 'a'));
    EXPECT_ANY_THROW(writer.WriteObjCreate(1, 2, 0, std::string(3000, 'n')));
    ASSERT_EQ(sink.m_vecPackets.size(), 1u); // the full packet went out to make room
    EXPECT_TRUE(writer.HasBuffer());
    EXPECT_FALSE(writer.HasRecords());
    EXPECT_EQ(writer.GetBuffer()->GetSize(), QVNET_StreamHeader::kSize);
}

TEST(RecordWriterTest, FailedHandOffDropsThePacketAndFailedAcquireWritesNothing)
{
    CRecordingPacketSink sink;
    CRecordWriter writer(sink);
    writer.WritePropRecord(OREC_PROP_ADD, 1, 1, std::string(2048, 'a'));
    sink.m_bFailHandOff = true;
    EXPECT_THROW(writer.WritePropRecord(OREC_PROP_ADD, 1, 2, std::string(2048, 'b')), std::logic_error);
    EXPECT_FALSE(writer.HasBuffer());
    ASSERT_EQ(sink.m_vecPackets.size(), 1u);
    EXPECT_EQ(sink.m_vecPackets[0]->GetRefCount(), 1);

    sink.m_bFailHandOff = false;
    sink.m_bFailAcquire = true;
    EXPECT_THROW(writer.WriteFeedComplete(1), std::bad_alloc);
    EXPECT_FALSE(writer.HasBuffer());
    sink.m_bFailAcquire = false;
    writer.WriteFeedComplete(1);
    EXPECT_EQ(writer.GetBuffer()->GetSize(), QVNET_StreamHeader::kSize + 9);
}

TEST(RecordWriterTest, APacketWithoutRecordsIsNeverClosed)
{
    // A record too big for any packet fails in its put; the packet it found empty stays
    // current and unsent (clients refuse a packet without records).
    CRecordingPacketSink sink;
    CRecordWriter writer(sink);
    writer.WriteFeedComplete(1);
    writer.ClosePacket();
    ASSERT_EQ(sink.m_vecPackets.size(), 1u);
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(ArchiveErrorOf([&] { writer.WritePropRecord(OREC_PROP_ADD, 1, 1, std::string(4100, 'v')); }),
                  OAE_STRING_TOO_LONG);
    writer.ClosePacket();
    EXPECT_EQ(sink.m_vecPackets.size(), 1u);
    ASSERT_TRUE(writer.HasBuffer());
    EXPECT_EQ(writer.GetBuffer()->GetSize(), QVNET_StreamHeader::kSize);
}
