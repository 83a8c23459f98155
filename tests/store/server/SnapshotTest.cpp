#include "net/common/QVNET_SeqPkt.h"
#include "store/ChangeRecords.h"
#include "store/server/ObjectsRepository.h"
#include "support/RecordDescriber.h"
#include "support/RecordingStreamCore.h"
#include "support/ServerStoreSteps.h"
#include "support/StdoutCapture.h"
#include "Subsidiary/LittleEndian.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class SnapshotTest : public testing::Test {
protected:
    uint64_t Create(const std::string& name, const std::string& type)
    {
        return CreateAndRelease(m_Repository, name, type);
    }
    void Set(uint64_t objectId, const std::string& property, const std::string& value)
    {
        SetAndRelease(m_Repository, objectId, property, value);
    }

    // Generates the snapshot and returns its log.
    std::string Generate(bool expectedResult = true)
    {
        CStdoutCapture capture;
        EXPECT_EQ(m_Repository.GenerateSyncSnapshot(m_Entry), expectedResult);
        return capture.Take();
    }

    std::vector<std::string> SnapshotRecords() { return CRecordDescriber().DescribeAll(m_Entry.m_lstPackets); }

    CRecordingStreamCore m_Core;
    CObjectsRepository m_Repository{m_Core};
    CSyncEntry m_Entry;
};

} // namespace

TEST_F(SnapshotTest, AnEmptyStoreHasNoPacketsAndLogsNothing)
{
    const std::string log = Generate();
    EXPECT_TRUE(m_Entry.m_lstPackets.empty());
    EXPECT_EQ(m_Entry.m_nSeq, 3u);
    EXPECT_EQ(log, "");
}

TEST_F(SnapshotTest, DefinitionsComeFirstThenObjectsWithTheirEntries)
{
    m_Repository.GetPropertyId("Okra");
    Create("obj_1", "Pea");
    Create("obj_2", "Bean");
    Set(2, "Kale", "b");
    Set(2, "Okra", "a");
    const std::string log = Generate();
    const std::vector<std::string> expected{"PROP_DEF 1 Okra", "PROP_DEF 2 Kale",  "TYPE_DEF 2 Bean",
                                            "TYPE_DEF 1 Pea",  "OBJ_CREATE 1 1 0 obj_1", "OBJ_CREATE 2 2 2 obj_2",
                                            "ENTRY 1 a",       "ENTRY 2 b"};
    EXPECT_EQ(SnapshotRecords(), expected);
    const std::string line = "] GenerateSnapshot : objects : 2, packets : 1 (x 4096), time ";
    const size_t at = log.find(line);
    ASSERT_NE(at, std::string::npos) << log;
    const size_t digits = log.find_first_not_of("0123456789", at + line.size());
    EXPECT_GT(digits, at + line.size()) << log;
    EXPECT_EQ(log.substr(digits), "ms\r\n") << log;
}

TEST_F(SnapshotTest, PendingStreamRecordsGoOutFirstAndAreInTheSnapshot)
{
    Create("obj_1", "Bean");
    Generate();
    ASSERT_EQ(m_Core.SentCount(), 1u);
    EXPECT_EQ(LoadU64LE(m_Core.Sent()[0]->GetData() + QVNET_StreamHeader::kSeqOffset), 3u);
    EXPECT_EQ(m_Entry.m_nSeq, 4u);
    EXPECT_EQ(SnapshotRecords(), (std::vector<std::string>{"TYPE_DEF 1 Bean", "OBJ_CREATE 1 1 0 obj_1"}));
}

TEST_F(SnapshotTest, EntriesContinueInTheNextPacketsAndEveryPacketIsLabelled)
{
    Create("obj_1", "Bean");
    std::vector<std::string> expected{"OBJ_CREATE 1 1 255 obj_1"};
    std::vector<std::string> definitions;
    for (int i = 1; i <= 255; ++i) {
        const std::string value(20, static_cast<char>('a' + i % 26));
        Set(1, "p" + std::to_string(i), value);
        definitions.push_back("PROP_DEF " + std::to_string(i) + " p" + std::to_string(i));
        expected.push_back("ENTRY " + std::to_string(i) + " " + value);
    }
    Create("obj_2", "Bean");
    expected.push_back("OBJ_CREATE 1 2 0 obj_2");
    definitions.push_back("TYPE_DEF 1 Bean");
    expected.insert(expected.begin(), definitions.begin(), definitions.end());
    Generate();

    EXPECT_EQ(SnapshotRecords(), expected);
    ASSERT_EQ(m_Entry.m_lstPackets.size(), 3u); // 255 * 29 bytes of entries need more than one body
    const uint64_t seq = m_Entry.m_nSeq;
    EXPECT_GT(seq, 3u);
    for (const CUDPBuffRef& packet : m_Entry.m_lstPackets) {
        EXPECT_EQ(packet->GetData()[0], QVNET_StreamHeader::kId);
        EXPECT_EQ(LoadU32LE(packet->GetData() + 1), packet->GetSize());
        EXPECT_EQ(LoadU64LE(packet->GetData() + 5), seq);
        EXPECT_EQ(packet->GetTag(), CRecordingStreamCore::kGroup);
        EXPECT_EQ(packet->GetRefCount(), 1); // the entry's list holds the only reference
    }
    // The second packet's body starts with an entry, not with a token.
    CRecordDescriber describer;
    describer.Describe(*m_Entry.m_lstPackets.front());
    EXPECT_EQ(describer.Describe(**std::next(m_Entry.m_lstPackets.begin())).front().rfind("ENTRY ", 0), 0u);
}

TEST_F(SnapshotTest, ASnapshotEndingAtAPacketBoundaryHasNoEmptyPacket)
{
    // 11 (PROP_DEF p) + 5 (TYPE_DEF T) + 13 + 2000 (creation) + 9 + 2045 (entry) = 4083, a full body.
    Create(std::string(2000, 'o'), "T");
    Set(1, "p", std::string(2045, 'v'));
    const int created = m_Core.m_nCreated;
    Generate();
    ASSERT_EQ(m_Entry.m_lstPackets.size(), 1u);
    EXPECT_EQ(m_Entry.m_lstPackets.front()->GetSize(), QVNET_StreamHeader::kMaxSize);
    EXPECT_EQ(m_Core.m_nCreated, created + 1);
    EXPECT_TRUE(m_Core.m_lstPool.empty());
}

TEST_F(SnapshotTest, AFailedSnapshotIsReportedAndKeepsItsClosedPackets)
{
    Create("obj_1", "Bean");
    Set(1, "Kale", std::string(2048, 'k'));
    Set(1, "Okra", std::string(2048, 'o'));
    EXPECT_TRUE(m_Repository.FlushStream());
    m_Core.m_nAcquireBudget = 1;
    const std::string log = Generate(false);
    EXPECT_NE(log.find("] CObjectsRepository::GenerateSyncSnapshot() : ERR : Out of mem or something!\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("GenerateSnapshot :"), std::string::npos) << log;
    EXPECT_EQ(m_Entry.m_lstPackets.size(), 1u);
}
