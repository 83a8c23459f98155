#include "server/DataFeed.h"

#include "platform/Clock.h"
#include "store/server/ObjectsRepository.h"
#include "Subsidiary/Log.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* kRunOrigin = "CDataFeed::DoRun()";
// The population reports its progress and its failure under different names.
constexpr const char* kPopulateOrigin = "CDataFeed::FeedSomeData()";
constexpr const char* kPopulateFailOrigin = "CDataFeed::FeedInitialData()";
constexpr const char* kStepOrigin = "FeedData";

constexpr uint32_t kInitialObjects = 80000;
constexpr uint32_t kStepsPerBurst = 1000;
constexpr int64_t kBurstPeriodMs = 100;

// Object types, property names and property values are all drawn from this table.
constexpr const char* kNames[] = {
    "artichoke", "Arugula", "Asparagus", "Aubergine", "Amaranth", "Legumes", "Alfalfa", "Azuki",
    "Bean", "Black", "Black-eyed", "Borlotti", "Broad", "Chickpeas", "Green", "Kidney",
    "Lentils", "Lima", "Mung", "Navy", "Pinto", "Runner", "Split", "Soy",
    "Peas", "Mangetout", "Beet", "Bok", "Broccoflower", "Broccoli", "Brussels", "Cabbage",
    "Calabrese", "Carrots", "Cauliflower", "Celery", "Chard", "Collard", "Corn", "Endive",
    "Fiddleheads", "Frisee",
};
constexpr int64_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);
static_assert(kNameCount == 42);

// The feed's choices assume a generator of 0 to 32767; glibc's rand goes up to 2^31 - 1, so
// only its low 15 bits are used (its range is a multiple of 32768, so they stay uniform).
int64_t RandomNumber()
{
    static_assert(RAND_MAX >= 32767 && (static_cast<int64_t>(RAND_MAX) + 1) % 32768 == 0);
    return std::rand() % 32768;
}

const char* RandomName()
{
    return kNames[RandomNumber() % kNameCount];
}

// Releases the level of the objects lock that CreateObject or FindObject handed over.
class CHandedLock {
public:
    explicit CHandedLock(CAutoMutex& mutex) : m_Mutex(mutex) {}
    ~CHandedLock() { m_Mutex.Unlock(); }
    CHandedLock(const CHandedLock&) = delete;
    CHandedLock& operator=(const CHandedLock&) = delete;

private:
    CAutoMutex& m_Mutex;
};

} // namespace

CDataFeed::CDataFeed(CObjectsRepository& repository) : CThreadBase("CDataFeed"), m_Repository(repository) {}

CDataFeed::~CDataFeed()
{
    if (IsRunning())
        Stop();
}

bool CDataFeed::Init()
{
    return true;
}

void CDataFeed::Deinit() {}

int32_t CDataFeed::DoRun()
{
    HANDLE timer = CreateTimerHandle();
    if (timer == nullptr) {
        LogMessage("Unable to create timer!", LOG_ERR, kRunOrigin);
        return -1;
    }
    if (!StartTimerHandle(timer, kBurstPeriodMs)) {
        CloseHandle(timer);
        LogMessage("Unable to start timer!", LOG_ERR, kRunOrigin);
        return -1;
    }
    SignalStarted();
    LogFormatted(kRunOrigin, "Feed %I64u started!", m_nFeedNo);
    m_nCountC = m_nCountD = m_nCountP = m_nCountR = 0;
    if (m_nFeedNo == 0)
        FeedInitialData();
    RunBursts(timer);
    StopTimerHandle(timer);
    CloseHandle(timer);
    CompleteFeed();
    ++m_nFeedNo;
    return 0;
}

void CDataFeed::RunBursts(HANDLE timer)
{
    const HANDLE handles[] = {GetStopEvent(), timer};
    for (;;) {
        const int32_t signalled = WaitForHandles(handles, 2);
        if (signalled == 0)
            return;
        if (signalled != 1) {
            LogMessage(WaitFailureText(signalled), LOG_ERR, kRunOrigin);
            continue;
        }
        StopTimerHandle(timer);
        FeedSomeData();
        // Armed only now, so that bursts start at least one period apart.
        if (!StartTimerHandle(timer, kBurstPeriodMs))
            LogMessage("Unable to start timer!", LOG_ERR, kRunOrigin);
    }
}

void CDataFeed::FeedInitialData()
{
    LogMessage("Populate initial objects...", LOG_MSG, kPopulateOrigin);
    const uint64_t started = platform::GetTickCount64();
    try {
        for (uint32_t i = 0; i < kInitialObjects; ++i) {
            const std::string name = FormatString("obj_%I64u", static_cast<unsigned long long>(m_nObjCounter++));
            m_Repository.CreateObject(name, RandomName());
            m_Repository.GetObjectsLock().Unlock();
            ++m_nCountC;
        }
        const uint64_t elapsed = platform::GetTickCount64() - started;
        LogMessage(FormatString("Done - %I64u objs in %I64ums", static_cast<unsigned long long>(m_nCountC),
                                static_cast<unsigned long long>(elapsed)),
                   LOG_MSG, kPopulateOrigin);
    } catch (const std::exception& failure) {
        LogFormatted(kPopulateFailOrigin, LOG_ERR, "%s", failure.what());
    } catch (...) {
        LogMessage("unknown error!", LOG_ERR, kPopulateFailOrigin);
    }
}

void CDataFeed::FeedSomeData()
{
    CAutoLock lock(m_Repository.GetObjectsLock());
    for (uint32_t step = 0; step < kStepsPerBurst; ++step) {
        try {
            ChangeRandomObject();
        } catch (const std::logic_error& refusal) {
            LogFormatted(kStepOrigin, LOG_ERR, "%s", refusal.what());
        } catch (...) {
            // Failures outside the store's refusals are not reported; the burst goes on.
        }
    }
}

void CDataFeed::ChangeRandomObject()
{
    const int64_t count = m_Repository.GetObjectCount();
    // Ids are drawn from 1 to count - 1; a single object leaves nothing to draw from.
    if (count == 1)
        return;
    RandomNumber();
    const int64_t r = RandomNumber();
    const auto objectId = static_cast<uint64_t>(r % (count - 1) + 1);
    CRepositoryObject& object = m_Repository.FindObject(objectId);
    CHandedLock handed(m_Repository.GetObjectsLock());
    const char* value = RandomName();
    const char* property = RandomName();
    object.SetProperty(m_Repository.GetPropertyId(property), value);
    ++m_nCountP;
}

void CDataFeed::CompleteFeed()
{
    try {
        m_Repository.FeedCompleted(m_nFeedNo);
    } catch (...) {
        LogMessage("FeedComplete exception !!!", LOG_ERR, kRunOrigin);
    }
    PrintDirect("\r\n");
    const uint64_t objects = m_Repository.GetObjectCount();
    LogMessage(FormatString("Feed %I64u completed [Obj cnt:%I64u] : C:%I64u, D:%I64u, P:%I64u, R:%I64u!",
                            static_cast<unsigned long long>(m_nFeedNo), static_cast<unsigned long long>(objects),
                            static_cast<unsigned long long>(m_nCountC), static_cast<unsigned long long>(m_nCountD),
                            static_cast<unsigned long long>(m_nCountP), static_cast<unsigned long long>(m_nCountR)),
               LOG_MSG, kRunOrigin);
}
