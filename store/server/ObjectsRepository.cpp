#include "store/server/ObjectsRepository.h"

#include "net/common/QVNET_SeqPkt.h"
#include "platform/Clock.h"
#include "store/server/SyncSnapshotWriter.h"
#include "Subsidiary/Log.h"

#include <stdexcept>

namespace {

constexpr int64_t kFirstFlushMs = 1000;
constexpr int64_t kFlushPeriodMs = 50;
constexpr const char* kOutOfIds = "OUT OF IDs!!!!!!!!!!!!";

} // namespace

CObjectsRepository::CObjectsRepository(IStreamCore& core)
    : CThreadBase("CObjectsRepository"), m_Core(core), m_csObjects("CObjectsRepository::m_csObjects"),
      m_StreamSink(core), m_StreamWriter(m_StreamSink)
{
}

CObjectsRepository::~CObjectsRepository() = default;

uint16_t CObjectsRepository::GetTypeId(std::string_view typeName)
{
    CAutoLock lock(m_csObjects);
    return TypeIdLocked(typeName);
}

uint16_t CObjectsRepository::TypeIdLocked(std::string_view typeName)
{
    if (auto known = m_mapTypes.find(typeName); known != m_mapTypes.end())
        return known->second;
    // The 16-bit counter has wrapped: a repeated type id would be refused by every client.
    if (m_nNextTypeId == 0)
        throw std::invalid_argument(kOutOfIds);
    const uint16_t id = m_nNextTypeId;
    auto entered = m_mapTypes.emplace(typeName, id).first;
    try {
        m_StreamWriter.WriteTypeDef(id, typeName);
    } catch (...) {
        m_mapTypes.erase(entered);
        throw;
    }
    ++m_nNextTypeId;
    return id;
}

uint64_t CObjectsRepository::GetPropertyId(std::string_view name)
{
    CAutoLock lock(m_csObjects);
    if (const uint64_t* known = m_Properties.FindId(name))
        return *known;
    const uint64_t id = m_nNextPropertyId;
    if (m_Properties.FindName(id) != nullptr)
        throw std::invalid_argument(kOutOfIds);
    m_Properties.Insert(id, name);
    try {
        m_StreamWriter.WritePropDef(id, name);
    } catch (...) {
        m_Properties.Erase(id);
        throw;
    }
    ++m_nNextPropertyId;
    return id;
}

// CreateObject and FindObject take the lock once and keep it for the caller on success.
CRepositoryObject& CObjectsRepository::CreateObject(std::string_view name, std::string_view typeName)
{
    m_csObjects.Lock();
    try {
        return CreateObjectLocked(name, typeName);
    } catch (...) {
        m_csObjects.Unlock();
        throw;
    }
}

CRepositoryObject& CObjectsRepository::CreateObjectLocked(std::string_view name, std::string_view typeName)
{
    const uint64_t id = m_nNextObjectId;
    auto [named, isNew] = m_mapObjectNames.emplace(name, id);
    if (!isNew)
        throw std::invalid_argument("Duplicate object name!");
    try {
        const uint16_t typeId = TypeIdLocked(typeName);
        auto [created, isFree] = m_mapObjects.try_emplace(id, typeId, id, std::string(name),
                                                          static_cast<IObjectChangeWriter&>(*this));
        if (!isFree)
            throw std::invalid_argument(kOutOfIds);
        try {
            m_StreamWriter.WriteObjCreate(typeId, id, 0, name);
        } catch (...) {
            m_mapObjects.erase(created);
            throw;
        }
        ++m_nNextObjectId;
        return created->second;
    } catch (...) {
        m_mapObjectNames.erase(named);
        throw;
    }
}

CRepositoryObject& CObjectsRepository::FindObject(uint64_t objectId)
{
    m_csObjects.Lock();
    auto found = m_mapObjects.find(objectId);
    if (found == m_mapObjects.end()) {
        m_csObjects.Unlock();
        throw std::invalid_argument("No such object!");
    }
    return found->second;
}

void CObjectsRepository::WritePropertyRecord(uint8_t token, const CRepositoryObject& object,
                                             uint64_t propertyId, std::string_view value)
{
    m_StreamWriter.WritePropRecord(token, object.GetId(), propertyId, value);
}

void CObjectsRepository::FeedCompleted(uint64_t feedNo)
{
    CAutoLock lock(m_csObjects);
    m_StreamWriter.WriteFeedComplete(feedNo);
}

uint32_t CObjectsRepository::GetObjectCount()
{
    CAutoLock lock(m_csObjects);
    return static_cast<uint32_t>(m_mapObjects.size());
}

bool CObjectsRepository::FlushStream()
{
    CAutoLock lock(m_csObjects);
    if (!m_StreamWriter.HasRecords())
        return true;
    try {
        m_StreamWriter.ClosePacket();
        return true;
    } catch (...) {
        return false;
    }
}

bool CObjectsRepository::GenerateSyncSnapshot(CSyncEntry& entry)
{
    CAutoLock lock(m_csObjects);
    const uint64_t started = platform::GetTickCount64();
    FlushStream();
    entry.m_nSeq = m_Core.GetNextStreamSeq();
    if (m_mapObjects.empty() && m_mapTypes.empty() && m_Properties.IsEmpty())
        return true;
    CSyncSnapshotWriter snapshot(m_Core, entry);
    try {
        snapshot.WritePropertyDefs(m_Properties.GetById());
        snapshot.WriteTypeDefs(m_mapTypes);
        snapshot.WriteObjects(m_mapObjects);
        snapshot.Finish();
    } catch (...) {
        LogMessage("Out of mem or something!", LOG_ERR, "CObjectsRepository::GenerateSyncSnapshot()");
        return false;
    }
    LogMessage(FormatString("objects : %u, packets : %u (x %u), time %I64ums",
                            static_cast<unsigned>(m_mapObjects.size()),
                            static_cast<unsigned>(entry.m_lstPackets.size()), QVNET_StreamHeader::kMaxSize,
                            static_cast<unsigned long long>(platform::GetTickCount64() - started)),
               LOG_MSG, "GenerateSnapshot");
    return true;
}

void CObjectsRepository::Cleanup()
{
    CAutoLock lock(m_csObjects);
    LogMessage("Delete objects...", LOG_MSG, "CObjectsRepository::Cleanup");
    m_mapObjectNames.clear();
    m_mapObjects.clear();
    m_mapTypes.clear();
    m_Properties.Clear();
    // The unsent packet was never shared, so the pool can have it back.
    if (m_StreamWriter.HasBuffer())
        m_Core.ReturnStreamBuffer(m_StreamWriter.TakeBuffer());
    LogMessage("Done", LOG_MSG, "CObjectsRepository::Cleanup");
}

int32_t CObjectsRepository::DoRun()
{
    LogMessage("started", LOG_MSG, "CObjectsRepository::DoRun");
    HANDLE timer = CreateTimerHandle();
    if (timer == nullptr || !StartTimerHandle(timer, kFirstFlushMs)) {
        LogMessage("Unable to create timer handle!", LOG_ERR, "CObjectsRepository::DoRun()");
        if (timer != nullptr)
            CloseHandle(timer);
        return -1;
    }
    SignalStarted();
    RunFlushLoop(timer);
    CloseHandle(timer);
    LogMessage("exited", LOG_MSG, "CObjectsRepository::DoRun");
    return 0;
}

void CObjectsRepository::RunFlushLoop(HANDLE timer)
{
    const HANDLE handles[] = {GetStopEvent(), timer};
    for (;;) {
        const int32_t signalled = WaitForHandles(handles, 2);
        if (signalled == 0) {
            StopTimerHandle(timer);
            return;
        }
        if (signalled == 1) {
            StopTimerHandle(timer);
            FlushStream();
            StartTimerHandle(timer, kFlushPeriodMs);
        } else if (signalled == 258) {
            LogMessage("WaitForHandles() timeout code!", LOG_ERR, "CObjectsRepository::DoRun");
        } else if (signalled == -1) {
            LogMessage("WaitForHandles() error code!", LOG_ERR, "CObjectsRepository::DoRun");
        } else {
            LogMessage("WaitForHandles() invalid code!", LOG_ERR, "CObjectsRepository::DoRun");
        }
    }
}
