// The server's records, applied by a client repository in another process (the two
// repositories share a class name), must rebuild the server's store exactly: compared
// through the client's text export against a model of what the test did.

#include "net/common/QVNET_SeqPkt.h"
#include "store/server/ObjectsRepository.h"
#include "support/ClientReplay.h"
#include "support/RecordingStreamCore.h"
#include "support/ServerStoreSteps.h"

#include <gtest/gtest.h>

#include <map>
#include <span>
#include <string>
#include <vector>

namespace {

struct SModelObject {
    std::string name;
    std::string type;
    std::map<uint64_t, std::string> properties;
};

class RoundTripTest : public testing::Test {
protected:
    uint64_t Create(const std::string& name, const std::string& type)
    {
        const uint64_t id = CreateAndRelease(m_Repository, name, type);
        m_mapModel[id] = {name, type, {}};
        return id;
    }

    void Set(uint64_t objectId, const std::string& property, const std::string& value)
    {
        const uint64_t propertyId = SetAndRelease(m_Repository, objectId, property, value);
        m_mapPropertyNames[propertyId] = property;
        m_mapModel[objectId].properties[propertyId] = value;
    }

    // Objects of several types, one with 255 properties, names and values of 2048
    // characters, changed values.
    void Populate()
    {
        const char* types[] = {"Bean", "Pea", "Corn", "Kale"};
        for (int i = 0; i < 40; ++i)
            Create("obj_" + std::to_string(i), types[i % 4]);
        const uint64_t big = Create(std::string(2048, 'N'), std::string(2048, 'T'));
        for (int i = 1; i <= 255; ++i)
            Set(big, "p" + std::to_string(i), std::string(i % 3 == 0 ? 2048 : i, static_cast<char>('a' + i % 26)));
        for (uint64_t id = 1; id <= 40; id += 3) {
            Set(id, "Okra", "v" + std::to_string(id));
            Set(id, "p7", "");
        }
        Set(4, "Okra", "changed");
        Set(big, "p255", "changed too");
    }

    std::string ExpectedExport() const
    {
        std::string text;
        for (const auto& [id, object] : m_mapModel) {
            text += "[" + object.name + "] - [" + object.type + "]\n";
            for (const auto& [propertyId, value] : object.properties)
                text += "\t" + m_mapPropertyNames.at(propertyId) + " = " + value + "\n";
            text += "\n";
        }
        return text;
    }

    std::vector<CUDPBuffRef> StreamPackets(uint64_t fromSeq = 0)
    {
        EXPECT_TRUE(m_Repository.FlushStream());
        std::vector<CUDPBuffRef> packets;
        for (CUDPBuffRef& packet : m_Core.Sent())
            if (QVNET_StreamHeader::ReadSeq(packet->GetData()) >= fromSeq)
                packets.push_back(std::move(packet));
        return packets;
    }

    // Replays the packets in a client process; returns its export and keeps its log.
    std::string Replay(const std::vector<CUDPBuffRef>& packets)
    {
        std::vector<std::span<const uint8_t>> bytes;
        for (const CUDPBuffRef& packet : packets)
            bytes.emplace_back(packet->GetData(), packet->GetSize());
        const CClientReplay replay = ReplayInClient(CLIENT_REPLAY_PATH, bytes);
        EXPECT_EQ(replay.nStatus, 0);
        m_strReplayLog = replay.strLog;
        return replay.strExport;
    }

    CRecordingStreamCore m_Core;
    CObjectsRepository m_Repository{m_Core};
    std::map<uint64_t, SModelObject> m_mapModel;
    std::map<uint64_t, std::string> m_mapPropertyNames;
    std::string m_strReplayLog;
};

} // namespace

TEST_F(RoundTripTest, TheStreamRebuildsTheStore)
{
    Populate();
    m_Repository.FeedCompleted(7);
    const std::vector<CUDPBuffRef> packets = StreamPackets();
    EXPECT_GT(packets.size(), 80u);
    EXPECT_EQ(Replay(packets), ExpectedExport());
    EXPECT_NE(m_strReplayLog.find("] OnFeedComplete : Feed 7 completed, objects : 41, changes : "), std::string::npos)
        << m_strReplayLog;
}

TEST_F(RoundTripTest, TheSnapshotRebuildsTheStore)
{
    Populate();
    CSyncEntry entry;
    ASSERT_TRUE(m_Repository.GenerateSyncSnapshot(entry));
    EXPECT_GT(entry.m_lstPackets.size(), 80u); // the entries of 2048 characters span many
    EXPECT_EQ(Replay({entry.m_lstPackets.begin(), entry.m_lstPackets.end()}), ExpectedExport());
}

TEST_F(RoundTripTest, ASnapshotFillingItsLastPacketExactlyRebuildsTheStore)
{
    // 11 (PROP_DEF p) + 5 (TYPE_DEF T) + 13 + 2000 (creation) + 9 + 2045 (entry) = one full body.
    const uint64_t id = Create(std::string(2000, 'o'), "T");
    Set(id, "p", std::string(2045, 'v'));
    CSyncEntry entry;
    ASSERT_TRUE(m_Repository.GenerateSyncSnapshot(entry));
    ASSERT_EQ(entry.m_lstPackets.size(), 1u);
    EXPECT_EQ(entry.m_lstPackets.front()->GetSize(), QVNET_StreamHeader::kMaxSize);
    EXPECT_EQ(Replay({entry.m_lstPackets.begin(), entry.m_lstPackets.end()}), ExpectedExport());
}

TEST_F(RoundTripTest, TheSnapshotThenTheStreamFromItsNumberRebuildTheStore)
{
    Populate();
    CSyncEntry entry;
    ASSERT_TRUE(m_Repository.GenerateSyncSnapshot(entry));
    Create("late", "Pea");
    Set(3, "Okra", "after the snapshot");
    Set(3, "Corn", "new");
    m_Repository.FeedCompleted(8);
    std::vector<CUDPBuffRef> packets(entry.m_lstPackets.begin(), entry.m_lstPackets.end());
    for (CUDPBuffRef& packet : StreamPackets(entry.m_nSeq))
        packets.push_back(std::move(packet));
    EXPECT_EQ(Replay(packets), ExpectedExport());
    EXPECT_NE(m_strReplayLog.find("] OnFeedComplete : Feed 8 completed, objects : 42, changes : "), std::string::npos)
        << m_strReplayLog;
}
