#include "net/common/QVNET_PktHeader.h"
#include "net/common/QVNET_RetransmitPkt.h"
#include "net/common/QVNET_SeqPkt.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

template <size_t N>
std::vector<uint8_t> Bytes(const std::array<uint8_t, N>& pkt)
{
    return std::vector<uint8_t>(pkt.begin(), pkt.end());
}

} // namespace

TEST(PacketLayoutTest, StreamHeaderIsIdLengthAndSequenceNumber)
{
    uint8_t pkt[QVNET_StreamHeader::kMaxSize] = {};
    QVNET_PktHeader::Write(pkt, QVNET_ID_STREAM, 0x0FED);
    QVNET_StreamHeader::WriteSeq(pkt, 0x0102030405060708ULL);
    const std::vector<uint8_t> expected = {0x01, 0xED, 0x0F, 0x00, 0x00,
                                           0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(std::vector<uint8_t>(pkt, pkt + 13), expected);
    EXPECT_EQ(pkt[13], 0) << "the records after the header are left alone";
    EXPECT_EQ(QVNET_StreamHeader::ReadSeq(pkt), 0x0102030405060708ULL);
    EXPECT_EQ(QVNET_StreamHeader::kMaxSize, 4096u);
}

TEST(PacketLayoutTest, ThirteenByteServerPackets)
{
    EXPECT_EQ(Bytes(QVNET_HeartbeatPkt::Build(3)),
              (std::vector<uint8_t>{0x02, 0x0D, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(QVNET_SyncCompletePkt::Build(0xFFEEDDCCBBAA9988ULL)),
              (std::vector<uint8_t>{0x06, 0x0D, 0, 0, 0, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
    const auto heartbeat = QVNET_HeartbeatPkt::Build(0x1122334455667788ULL);
    EXPECT_EQ(QVNET_HeartbeatPkt::ReadSeq(heartbeat.data()), 0x1122334455667788ULL);
}

TEST(PacketLayoutTest, SyncRequestsCarryZero)
{
    EXPECT_EQ(Bytes(QVNET_SyncRequestPkt::Build(0)),
              (std::vector<uint8_t>{0x04, 0x0D, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(QVNET_NextSyncPkt::Build(0)),
              (std::vector<uint8_t>{0x05, 0x0D, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(PacketLayoutTest, RetransmitRequestListsItsNumbers)
{
    const uint64_t seqs[] = {3, 0x0A0B0C0D0E0F1011ULL};
    const std::vector<uint8_t> pkt = QVNET_RetransmitPkt::Build(seqs);
    const std::vector<uint8_t> expected = {
        0x03, 0x15, 0x00, 0x00, 0x00,
        0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x11, 0x10, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A,
    };
    EXPECT_EQ(pkt, expected);
    ASSERT_EQ(QVNET_RetransmitPkt::Count(static_cast<uint32_t>(pkt.size())), 2u);
    EXPECT_EQ(QVNET_RetransmitPkt::ReadSeq(pkt.data(), 0), 3u);
    EXPECT_EQ(QVNET_RetransmitPkt::ReadSeq(pkt.data(), 1), 0x0A0B0C0D0E0F1011ULL);
}

TEST(PacketLayoutTest, RetransmitCountIgnoresTrailingBytes)
{
    EXPECT_EQ(QVNET_RetransmitPkt::Count(13), 1u);
    EXPECT_EQ(QVNET_RetransmitPkt::Count(20), 1u);
    EXPECT_EQ(QVNET_RetransmitPkt::Count(21), 2u);
    EXPECT_EQ(QVNET_RetransmitPkt::Count(12), 0u);
    EXPECT_EQ(QVNET_RetransmitPkt::Count(4), 0u);
    EXPECT_EQ(QVNET_RetransmitPkt::Count(0), 0u);
}

TEST(PacketLayoutTest, RetransmitRequestHoldsOneTo250Numbers)
{
    std::vector<uint64_t> seqs(250, 7);
    EXPECT_EQ(QVNET_RetransmitPkt::Build(seqs).size(), 5u + 8 * 250);
    seqs.push_back(8);
    EXPECT_THROW(QVNET_RetransmitPkt::Build(seqs), std::length_error);
    EXPECT_THROW(QVNET_RetransmitPkt::Build({}), std::length_error);
}

TEST(PacketLayoutTest, HeaderReadsUnalignedAndRefusesShortData)
{
    const uint8_t data[] = {0xEE, 0x06, 0x0D, 0x00, 0x00, 0x80};
    QVNET_PktHeader header;
    ASSERT_TRUE(QVNET_PktHeader::Read(data + 1, 5, header));
    EXPECT_EQ(header.nId, QVNET_ID_SYNC_COMPLETE);
    EXPECT_EQ(header.nLength, 0x8000000Du);
    EXPECT_FALSE(QVNET_PktHeader::Read(data + 1, 4, header));
}
