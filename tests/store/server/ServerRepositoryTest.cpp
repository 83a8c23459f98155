#include "net/common/QVNET_SeqPkt.h"
#include "store/ChangeRecords.h"
#include "store/server/ObjectsRepository.h"
#include "support/ArchiveErrorOf.h"
#include "support/LockProbe.h"
#include "support/RecordDescriber.h"
#include "support/RecordingStreamCore.h"
#include "support/ServerStoreSteps.h"
#include "support/StdoutCapture.h"
#include "support/ThrownText.h"
#include "Subsidiary/LittleEndian.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

class ServerRepositoryTest : public testing::Test {
protected:
    uint64_t Create(const std::string& name, const std::string& type)
    {
        return CreateAndRelease(m_Repository, name, type);
    }
    void Set(uint64_t objectId, const std::string& property, const std::string& value)
    {
        SetAndRelease(m_Repository, objectId, property, value);
    }

    std::string PropertyValue(uint64_t objectId, uint64_t propertyId)
    {
        CRepositoryObject& object = m_Repository.FindObject(objectId);
        try {
            const std::string value = object.GetProperty(propertyId);
            m_Repository.GetObjectsLock().Unlock();
            return value;
        } catch (...) {
            m_Repository.GetObjectsLock().Unlock(); // a lock left held ends the next wait
            throw;
        }
    }

    // Flushes the stream and describes the records sent since the last call.
    std::vector<std::string> NewRecords()
    {
        EXPECT_TRUE(m_Repository.FlushStream());
        const std::vector<CUDPBuffRef> sent = m_Core.Sent();
        std::vector<std::string> lines;
        for (; m_nDescribed < sent.size(); ++m_nDescribed)
            for (std::string& line : m_Describer.Describe(*sent[m_nDescribed]))
                lines.push_back(std::move(line));
        return lines;
    }

    CRecordingStreamCore m_Core;
    CObjectsRepository m_Repository{m_Core};
    CRecordDescriber m_Describer;
    size_t m_nDescribed = 0;
};

} // namespace

TEST_F(ServerRepositoryTest, DefinitionsGoOutBeforeTheirFirstUse)
{
    EXPECT_EQ(Create("obj_1", "Bean"), 1u);
    EXPECT_EQ(Create("obj_2", "Bean"), 2u);
    EXPECT_EQ(m_Repository.GetPropertyId("Kale"), 1u);
    EXPECT_EQ(m_Repository.GetPropertyId("Kale"), 1u);
    Set(2, "Kale", "Okra");
    Set(2, "Kale", "Okra");
    m_Repository.FeedCompleted(4);
    const std::vector<std::string> expected{"TYPE_DEF 1 Bean", "OBJ_CREATE 1 1 0 obj_1", "OBJ_CREATE 1 2 0 obj_2",
                                            "PROP_DEF 1 Kale", "PROP_ADD 2 1 Okra", "PROP_CHANGE 2 1 Okra",
                                            "FEED 4"};
    EXPECT_EQ(NewRecords(), expected);
    EXPECT_EQ(m_Repository.GetObjectCount(), 2u);
    EXPECT_EQ(m_Repository.GetTypeId("Bean"), 1u);
}

TEST_F(ServerRepositoryTest, CreateAndFindHandTheirLockToTheCaller)
{
    CRepositoryObject& created = m_Repository.CreateObject("obj_1", "Bean");
    {
        CLockProbe probe(m_Repository.GetObjectsLock());
        EXPECT_FALSE(probe.TakenWithin(100ms));
        m_Repository.GetObjectsLock().Unlock();
        EXPECT_TRUE(probe.TakenWithin(10s));
    }
    EXPECT_EQ(&m_Repository.FindObject(1), &created);
    m_Repository.GetObjectsLock().Unlock();

    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { m_Repository.FindObject(0); }), "No such object!");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { m_Repository.CreateObject("obj_1", "Bean"); }), "Duplicate object name!");
    CLockProbe probe(m_Repository.GetObjectsLock()); // refusals release it
    EXPECT_TRUE(probe.TakenWithin(10s));
}

TEST_F(ServerRepositoryTest, ADuplicateNameWritesNothingAndUsesNoId)
{
    Create("obj_1", "Bean");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { m_Repository.CreateObject("obj_1", "Pea"); }), "Duplicate object name!");
    EXPECT_EQ(Create("obj_2", "Bean"), 2u);
    const std::vector<std::string> expected{"TYPE_DEF 1 Bean", "OBJ_CREATE 1 1 0 obj_1", "OBJ_CREATE 1 2 0 obj_2"};
    EXPECT_EQ(NewRecords(), expected);
}

TEST_F(ServerRepositoryTest, AnObjectHoldsAtMost255Properties)
{
    const uint64_t id = Create("obj_1", "Bean");
    for (int i = 1; i <= 255; ++i)
        Set(id, "p" + std::to_string(i), "v");
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { Set(id, "p256", "v"); }), "Too much props per object!");
    CRepositoryObject& object = m_Repository.FindObject(id);
    EXPECT_EQ(object.GetProperties().size(), 255u);
    m_Repository.GetObjectsLock().Unlock();
}

TEST_F(ServerRepositoryTest, AFailedRecordLeavesTheStoreAsItWas)
{
    m_Core.m_bFailAcquire = true;
    EXPECT_THROW(Create("obj_1", "Bean"), std::bad_alloc);
    EXPECT_THROW(m_Repository.GetPropertyId("Kale"), std::bad_alloc);
    m_Core.m_bFailAcquire = false;
    EXPECT_EQ(m_Repository.GetObjectCount(), 0u);
    EXPECT_EQ(ArchiveErrorOf([&] { Create("obj_1", std::string(2049, 't')); }), OAE_STRING_TOO_LONG);
    EXPECT_EQ(ArchiveErrorOf([&] { Create(std::string(2049, 'n'), "Bean"); }), OAE_STRING_TOO_LONG);

    // Nothing was taken by the failures but the type of the last one.
    EXPECT_EQ(Create("obj_1", "Bean"), 1u);
    Set(1, "Kale", "Okra");
    const std::vector<std::string> expected{"TYPE_DEF 1 Bean", "OBJ_CREATE 1 1 0 obj_1", "PROP_DEF 1 Kale",
                                            "PROP_ADD 1 1 Okra"};
    EXPECT_EQ(NewRecords(), expected);

    // With the stream flushed, the next record needs a fresh buffer, and none comes.
    m_Core.m_bFailAcquire = true;
    EXPECT_THROW(Set(1, "Kale", "Corn"), std::bad_alloc);
    EXPECT_THROW(Set(1, "Pea", "Corn"), std::bad_alloc);
    m_Core.m_bFailAcquire = false;
    EXPECT_EQ(PropertyValue(1, 1), "Okra");
    EXPECT_EQ(m_Repository.GetPropertyId("Pea"), 2u);
    EXPECT_THROW(PropertyValue(1, 2), std::invalid_argument);
}

TEST_F(ServerRepositoryTest, AFailedSendDropsThePacketItClosed)
{
    const uint64_t id = Create("obj_1", "Bean");
    Set(id, "Kale", std::string(2048, 'k'));
    m_Core.m_bFailSend = true;
    EXPECT_THROW(Set(id, "Pea", std::string(2048, 'p')), std::logic_error); // does not fit
    EXPECT_TRUE(m_Repository.FlushStream()); // nothing left to send
    m_Core.m_bFailSend = false;
    EXPECT_EQ(m_Core.SentCount(), 0u);
    Set(id, "Corn", "c");
    EXPECT_EQ(NewRecords(), (std::vector<std::string>{"PROP_DEF 3 Corn", "PROP_ADD 1 3 c"}));
}

TEST_F(ServerRepositoryTest, FlushSendsOnlyAPacketThatHoldsRecords)
{
    EXPECT_TRUE(m_Repository.FlushStream());
    EXPECT_EQ(m_Core.SentCount(), 0u);
    Create("obj_1", "Bean");
    EXPECT_TRUE(m_Repository.FlushStream());
    EXPECT_TRUE(m_Repository.FlushStream());
    ASSERT_EQ(m_Core.SentCount(), 1u);
    const CUDPBuff& packet = *m_Core.Sent()[0];
    EXPECT_EQ(packet.GetData()[0], QVNET_StreamHeader::kId);
    EXPECT_EQ(LoadU32LE(packet.GetData() + 1), packet.GetSize());
    EXPECT_EQ(LoadU64LE(packet.GetData() + 5), 3u);
    EXPECT_EQ(packet.GetTag(), CRecordingStreamCore::kGroup);
    EXPECT_EQ(packet.GetSize(), QVNET_StreamHeader::kSize + 8 + 18);
    NewRecords();

    Create("obj_2", "Bean");
    m_Core.m_bFailSend = true;
    EXPECT_FALSE(m_Repository.FlushStream());
    m_Core.m_bFailSend = false;
    Create("obj_3", "Bean");
    EXPECT_EQ(NewRecords(), (std::vector<std::string>{"OBJ_CREATE 1 3 0 obj_3"}));
}

TEST_F(ServerRepositoryTest, CleanupEmptiesTheStoreButIdsKeepCounting)
{
    Create("obj_1", "Bean");
    Create("obj_2", "Bean");
    m_Repository.GetPropertyId("Kale");
    CStdoutCapture capture;
    m_Repository.Cleanup();
    const std::string log = capture.Take();
    EXPECT_NE(log.find("] CObjectsRepository::Cleanup : Delete objects...\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] CObjectsRepository::Cleanup : Done\r\n"), std::string::npos) << log;
    EXPECT_EQ(m_Repository.GetObjectCount(), 0u);
    EXPECT_EQ(m_Core.m_lstPool.size(), 1u); // the unsent packet went back to the pool

    EXPECT_EQ(Create("obj_1", "Bean"), 3u);
    EXPECT_EQ(m_Repository.GetPropertyId("Kale"), 2u);
    const std::vector<std::string> expected{"TYPE_DEF 2 Bean", "OBJ_CREATE 2 3 0 obj_1", "PROP_DEF 2 Kale"};
    EXPECT_EQ(NewRecords(), expected);
}

TEST_F(ServerRepositoryTest, TypeIdsRunOutInsteadOfRepeating)
{
    for (uint32_t i = 1; i <= 65535; ++i)
        ASSERT_EQ(m_Repository.GetTypeId("t" + std::to_string(i)), i);
    EXPECT_EQ(ThrownText<std::invalid_argument>([&] { m_Repository.GetTypeId("t65536"); }), "OUT OF IDs!!!!!!!!!!!!");
    EXPECT_EQ(m_Repository.GetTypeId("t65535"), 65535u);
}

TEST_F(ServerRepositoryTest, TheThreadFlushesAPartlyFilledPacket)
{
    CStdoutCapture capture;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(m_Repository.Start(), 0);
    Create("obj_1", "Bean");
    const bool flushed = m_Core.WaitForSent(1, 10s);
    const auto waited = std::chrono::steady_clock::now() - started;
    std::this_thread::sleep_for(300ms); // several idle ticks
    EXPECT_TRUE(m_Repository.Stop());
    const std::string log = capture.Take();

    ASSERT_TRUE(flushed);
    EXPECT_GE(waited, 900ms); // the first tick comes a second after the start
    EXPECT_EQ(m_Core.SentCount(), 1u);
    EXPECT_EQ(NewRecords(), (std::vector<std::string>{"TYPE_DEF 1 Bean", "OBJ_CREATE 1 1 0 obj_1"}));
    EXPECT_NE(log.find("] CObjectsRepository::DoRun : started\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] CObjectsRepository::DoRun : exited\r\n"), std::string::npos) << log;
}

TEST_F(ServerRepositoryTest, TheThreadFlushesEvery50Milliseconds)
{
    // A record written right after each flush goes out at the next tick, so ten flushes take
    // ten periods. The bounds are loose; a missing re-arm stops the flushes altogether.
    CStdoutCapture capture;
    ASSERT_EQ(m_Repository.Start(), 0);
    Create("obj_0", "Bean");
    constexpr int kFlushes = 10;
    int flushes = m_Core.WaitForSent(1, 10s) ? 0 : -1;
    const auto first = std::chrono::steady_clock::now();
    while (flushes >= 0 && flushes < kFlushes) {
        Create("obj_" + std::to_string(flushes + 1), "Bean");
        if (!m_Core.WaitForSent(static_cast<size_t>(flushes) + 2, 10s))
            break;
        ++flushes;
    }
    const auto period = (std::chrono::steady_clock::now() - first) / kFlushes;
    EXPECT_TRUE(m_Repository.Stop()); // before any check: the thread must not outlive the store
    ASSERT_EQ(flushes, kFlushes) << "the flushes stopped";
    EXPECT_GE(period, 40ms);
    EXPECT_LE(period, 250ms);
}
