#include "server/DataFeed.h"
#include "store/server/ObjectsRepository.h"
#include "support/OutputWait.h"
#include "support/RecordDescriber.h"
#include "support/RecordingStreamCore.h"
#include "support/ServerStoreSteps.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 60s;
const std::string kRefused = "FeedData : ERR : No such object!\r\n";

const std::set<std::string> kTableNames = {
    "artichoke", "Arugula", "Asparagus", "Aubergine", "Amaranth", "Legumes", "Alfalfa", "Azuki",
    "Bean", "Black", "Black-eyed", "Borlotti", "Broad", "Chickpeas", "Green", "Kidney",
    "Lentils", "Lima", "Mung", "Navy", "Pinto", "Runner", "Split", "Soy",
    "Peas", "Mangetout", "Beet", "Bok", "Broccoflower", "Broccoli", "Brussels", "Cabbage",
    "Calabrese", "Carrots", "Cauliflower", "Celery", "Chard", "Collard", "Corn", "Endive",
    "Fiddleheads", "Frisee",
};

// Lets a test run one burst on its own thread, and signal a stop without waiting for it.
class CDataFeedProbe : public CDataFeed {
public:
    using CDataFeed::CDataFeed;
    using CDataFeed::FeedSomeData;
    void SignalStop() { ASSERT_TRUE(SignalEventHandle(GetStopEvent())); }
};

// Holds a lock on a thread of its own until Release, so that a feed thread blocks on it.
class CLockHolder {
public:
    explicit CLockHolder(CAutoMutex& lock)
        : m_Thread([&lock, this] {
              CAutoLock guard(lock);
              m_Locked.set_value();
              m_Release.get_future().wait();
          })
    {
        m_Locked.get_future().wait();
    }
    ~CLockHolder() { Release(); }

    void Release()
    {
        if (!m_Thread.joinable())
            return;
        m_Release.set_value();
        m_Thread.join();
    }

private:
    std::promise<void> m_Locked;
    std::promise<void> m_Release;
    std::thread m_Thread;
};

// One record as the describer writes it, split into its words.
std::vector<std::string> Words(const std::string& record)
{
    std::istringstream in(record);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

struct Summary {
    uint64_t feed = 0, objects = 0, c = 0, d = 0, p = 0, r = 0;
};

// The numbers of the summary, the last line of a run.
Summary ParseSummary(const std::string& output)
{
    Summary s;
    const size_t at = output.rfind("] CDataFeed::DoRun() : Feed ");
    EXPECT_NE(at, std::string::npos) << output.substr(0, 2000);
    if (at == std::string::npos)
        return s;
    const std::string line = output.substr(at + 2, output.find("\r\n", at) - at - 2);
    unsigned long long v[6] = {};
    EXPECT_EQ(std::sscanf(line.c_str(), "CDataFeed::DoRun() : Feed %llu completed [Obj cnt:%llu] : C:%llu, D:%llu, P:%llu, R:%llu!",
                          &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]),
              6)
        << line;
    return {v[0], v[1], v[2], v[3], v[4], v[5]};
}

// Checks that the parts occur in this order; returns false at the first one missing.
bool InOrder(const std::string& output, std::initializer_list<std::string> parts)
{
    size_t at = 0;
    for (const std::string& part : parts) {
        at = output.find(part, at);
        if (at == std::string::npos) {
            ADD_FAILURE() << "missing in order: " << part;
            return false;
        }
        at += part.size();
    }
    return true;
}

class DataFeedTest : public testing::Test {
protected:
    void SetUp() override { std::srand(20240607); }

    void Create(const std::string& name) { CreateAndRelease(m_Repository, name, "Root"); }

    std::string NameOf(uint64_t id)
    {
        const std::string name = m_Repository.FindObject(id).GetName();
        m_Repository.GetObjectsLock().Unlock();
        return name;
    }

    size_t PropertyCount(uint64_t id)
    {
        const size_t count = m_Repository.FindObject(id).GetProperties().size();
        m_Repository.GetObjectsLock().Unlock();
        return count;
    }

    // The records of every packet sent, the partly filled one included.
    std::vector<std::string> Records()
    {
        EXPECT_TRUE(m_Repository.FlushStream());
        return CRecordDescriber().DescribeAll(m_Core.Sent());
    }

    // The object ids of the property records, checking that names and values come from the table.
    static std::vector<uint64_t> ChangedObjects(const std::vector<std::string>& records)
    {
        std::vector<uint64_t> ids;
        for (const std::string& record : records) {
            const std::vector<std::string> w = Words(record);
            if (w[0] == "PROP_DEF") {
                EXPECT_TRUE(kTableNames.contains(w[2])) << record;
            }
            if (w[0] != "PROP_ADD" && w[0] != "PROP_CHANGE")
                continue;
            EXPECT_TRUE(kTableNames.contains(w[3])) << record;
            ids.push_back(std::stoull(w[1]));
        }
        return ids;
    }

    CRecordingStreamCore m_Core;
    CObjectsRepository m_Repository{m_Core};
    CDataFeedProbe m_Feed{m_Repository};
};

TEST_F(DataFeedTest, FirstRunPopulatesOnceAndAStopRightAfterStartChangesNothing)
{
    CStdoutCapture capture;
    {
        // The population waits for the store until the stop is signalled, so the stop event
        // is waiting when the loop starts however the threads are scheduled.
        CLockHolder holder(m_Repository.GetObjectsLock());
        ASSERT_EQ(m_Feed.Start(), 0);
        m_Feed.SignalStop();
    }
    ASSERT_TRUE(m_Feed.Stop());
    const std::string first = capture.Take();
    EXPECT_TRUE(InOrder(first, {"] CDataFeed::DoRun() : Feed 0 started!\r\n",
                                "] CDataFeed::FeedSomeData() : Populate initial objects...\r\n",
                                "] CDataFeed::FeedSomeData() : Done - 80000 objs in ", "ms\r\n\r\n[",
                                "] CDataFeed::DoRun() : Feed 0 completed [Obj cnt:80000] : C:80000, D:0, P:0, R:0!\r\n"}))
        << first;
    const size_t done = first.find("Done - 80000 objs in ") + 21;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(first[done]))) << first;

    ASSERT_EQ(m_Repository.GetObjectCount(), 80000u);
    for (uint64_t id = 1; id <= 80000; ++id)
        ASSERT_EQ(NameOf(id), "obj_" + std::to_string(id - 1));
    EXPECT_THROW(m_Repository.FindObject(80001), std::invalid_argument);

    const std::vector<std::string> records = Records();
    size_t creations = 0;
    for (const std::string& record : records) {
        const std::vector<std::string> w = Words(record);
        creations += w[0] == "OBJ_CREATE";
        if (w[0] == "TYPE_DEF") {
            EXPECT_TRUE(kTableNames.contains(w[2])) << record;
        }
        EXPECT_NE(w[0], "PROP_CHANGE");
        EXPECT_NE(w[0], "PROP_ADD");
    }
    EXPECT_EQ(creations, 80000u);
    EXPECT_EQ(records.back(), "FEED 0");

    // The second run continues with feed 1 and leaves the population alone.
    CStdoutCapture again;
    ASSERT_EQ(m_Feed.Start(), 0);
    ASSERT_TRUE(m_Feed.Stop());
    const std::string second = again.Take();
    EXPECT_TRUE(InOrder(second, {"] CDataFeed::DoRun() : Feed 1 started!", "\r\n\r\n[",
                                 "] CDataFeed::DoRun() : Feed 1 completed [Obj cnt:80000] : C:0, D:0, P:"}))
        << second;
    EXPECT_EQ(second.find("Populate"), std::string::npos);
    const std::vector<std::string> all = Records();
    const std::vector<std::string> added(all.begin() + static_cast<std::ptrdiff_t>(records.size()), all.end());
    EXPECT_EQ(ParseSummary(second).p, ChangedObjects(added).size());
    EXPECT_EQ(std::count_if(added.begin(), added.end(), [](const std::string& r) { return r.starts_with("OBJ_"); }), 0);
    EXPECT_EQ(all.back(), "FEED 1");
}

TEST_F(DataFeedTest, BurstsOnTheFullPopulationReachNoIdAbove32768)
{
    CStdoutCapture capture;
    ASSERT_EQ(m_Feed.Start(), 0);
    ASSERT_TRUE(WaitForOutput(capture, "Done - 80000 objs in ", 1, kLimit));
    ASSERT_TRUE(m_Core.WaitForSent(m_Core.SentCount() + 12, kLimit));
    ASSERT_TRUE(m_Feed.Stop());
    const std::string output = capture.Take();

    // Draws are 15-bit numbers: (32767 mod 79999) + 1 is the highest id there can be.
    const std::vector<uint64_t> changed = ChangedObjects(Records());
    EXPECT_EQ(ParseSummary(output).p, changed.size());
    ASSERT_GE(changed.size(), 1000u);
    const uint64_t highest = *std::max_element(changed.begin(), changed.end());
    EXPECT_LE(highest, 32768u);
    EXPECT_GT(highest, 30000u) << "the draws do not span the 15-bit range";
}

TEST_F(DataFeedTest, BurstsAfterAFailedPopulationDrawOnlyIdsBelowTheObjectCount)
{
    for (int i = 0; i < 10; ++i)
        Create("obj_" + std::to_string(i));
    CStdoutCapture capture;
    ASSERT_EQ(m_Feed.Start(), 0);
    // Every burst fills a few packets; this many come from at least two bursts.
    ASSERT_TRUE(m_Core.WaitForSent(12, kLimit));
    ASSERT_TRUE(m_Feed.Stop());
    const std::string output = capture.Take();

    EXPECT_TRUE(InOrder(output, {"] CDataFeed::FeedSomeData() : Populate initial objects...\r\n",
                                 "] CDataFeed::FeedInitialData() : ERR : Duplicate object name!\r\n"}))
        << output;
    EXPECT_EQ(output.find("Done -"), std::string::npos);
    EXPECT_EQ(output.find("FeedData"), std::string::npos);
    const Summary summary = ParseSummary(output);
    EXPECT_EQ(summary.objects, 10u);
    EXPECT_EQ(summary.c, 0u);
    EXPECT_EQ(summary.d, 0u);
    EXPECT_EQ(summary.r, 0u);

    // No step can fail here, and a stop comes between bursts only.
    const std::vector<uint64_t> changed = ChangedObjects(Records());
    EXPECT_EQ(summary.p, changed.size());
    EXPECT_GE(summary.p, 1000u);
    EXPECT_EQ(summary.p % 1000, 0u);
    const std::set<uint64_t> ids(changed.begin(), changed.end());
    EXPECT_EQ(ids, (std::set<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(PropertyCount(10), 0u);
}

TEST_F(DataFeedTest, StepsRefusedByTheStoreAreLoggedAndNotCounted)
{
    // Ids 1..50 are gone after the cleanup, so about half of the draws from 1..99 find nothing.
    for (int i = 0; i < 50; ++i)
        Create("early_" + std::to_string(i));
    m_Repository.Cleanup();
    for (int i = 0; i < 100; ++i)
        Create("obj_" + std::to_string(i));
    CStdoutCapture capture;
    ASSERT_EQ(m_Feed.Start(), 0);
    ASSERT_TRUE(WaitForOutput(capture, kRefused, 600, kLimit));
    ASSERT_TRUE(m_Feed.Stop());
    const std::string output = capture.Take();

    const size_t refused = CountOf(output, kRefused);
    const Summary summary = ParseSummary(output);
    const std::vector<uint64_t> changed = ChangedObjects(Records());
    EXPECT_EQ(summary.p, changed.size());
    EXPECT_GT(summary.p, 0u);
    EXPECT_EQ((summary.p + refused) % 1000, 0u) << summary.p << " + " << refused;
    EXPECT_EQ(CountOf(output, "FeedData : ERR : "), refused);
    EXPECT_GE(*std::min_element(changed.begin(), changed.end()), 51u);
    EXPECT_LE(*std::max_element(changed.begin(), changed.end()), 99u);
}

TEST_F(DataFeedTest, BurstOnAnEmptyStoreAndOnASingleObject)
{
    {
        // With no object every draw is id 1.
        CStdoutCapture capture;
        m_Feed.FeedSomeData();
        const std::string output = capture.Take();
        EXPECT_EQ(CountOf(output, kRefused), 1000u);
        EXPECT_EQ(CountOf(output, "\r\n"), 1000u);
    }
    Create("only");
    CStdoutCapture capture;
    m_Feed.FeedSomeData();
    EXPECT_EQ(capture.Take(), "");
    EXPECT_EQ(PropertyCount(1), 0u);
    EXPECT_EQ(ChangedObjects(Records()).size(), 0u);
}

TEST_F(DataFeedTest, FailuresOutsideTheStoresRefusalsAreNotLoggedPerStep)
{
    for (int i = 0; i < 10; ++i)
        Create("veg_" + std::to_string(i));
    ASSERT_TRUE(m_Repository.FlushStream());
    m_Core.m_bFailAcquire = true;

    CStdoutCapture capture;
    m_Feed.FeedSomeData();
    EXPECT_EQ(capture.Peek(), "");
    for (uint64_t id = 1; id <= 10; ++id)
        EXPECT_EQ(PropertyCount(id), 0u);

    // The population and the completion record fail for want of a buffer; the summary follows.
    ASSERT_EQ(m_Feed.Start(), 0);
    ASSERT_TRUE(m_Feed.Stop());
    const std::string output = capture.Take();
    EXPECT_TRUE(InOrder(output, {"] CDataFeed::FeedInitialData() : ERR : std::bad_alloc\r\n",
                                 "] CDataFeed::DoRun() : ERR : FeedComplete exception !!!", "\r\n\r\n[",
                                 "] CDataFeed::DoRun() : Feed 0 completed [Obj cnt:10] : C:0, D:0, P:0, R:0!\r\n"}))
        << output;
    EXPECT_EQ(output.find("FeedData"), std::string::npos);
    EXPECT_EQ(m_Repository.GetObjectCount(), 10u);
}

} // namespace
