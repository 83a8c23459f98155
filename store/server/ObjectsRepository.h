#pragma once
// The server's authoritative store. It assigns every identifier, keeps the names unique
// and turns each change into change records of the multicast stream: records fill
// 4096-byte packets that go to the server core's stream sender when full, and the
// repository's own thread pushes out a partly filled packet every 50 ms. The data feed is
// its only writer; a joining client's snapshot is rendered from the same maps.

#include "store/NameRegistry.h"
#include "store/ObjectChangeWriter.h"
#include "store/RecordWriter.h"
#include "store/RepositoryObject.h"
#include "store/StreamCore.h"
#include "store/SyncEntry.h"
#include "store/server/ServerObjects.h"
#include "store/server/StreamPacketSink.h"
#include "Subsidiary/AutoMutex.h"
#include "Subsidiary/ThreadBase.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

class CObjectsRepository : public CThreadBase, private IObjectChangeWriter {
public:
    explicit CObjectsRepository(IStreamCore& core);
    ~CObjectsRepository() override;
    CObjectsRepository(const CObjectsRepository&) = delete;
    CObjectsRepository& operator=(const CObjectsRepository&) = delete;

    /// Creates and announces an object; returns with the objects lock held for the caller
    /// to release once. Throws with the lock released. Any thread (the data feed's).
    CRepositoryObject& CreateObject(std::string_view name, std::string_view typeName);
    /// Returns with the objects lock held for the caller to release once; throws
    /// "No such object!" with the lock released. Any thread.
    CRepositoryObject& FindObject(uint64_t objectId);
    /// The id of a property name, assigned and announced on first use. Any thread.
    uint64_t GetPropertyId(std::string_view name);
    /// The id of a type name, assigned and announced on first use. Any thread.
    uint16_t GetTypeId(std::string_view typeName);
    /// Writes the completion record of a feed. Any thread.
    void FeedCompleted(uint64_t feedNo);
    /// Any thread.
    uint32_t GetObjectCount();
    /// Sends the partly filled stream packet, if it holds records; false when sending
    /// failed (the packet is then dropped). Never throws. Any thread.
    bool FlushStream();
    /// Renders the whole store into the entry's packet list, labelled with the next stream
    /// number. The caller holds the sync-clients lock, the objects lock and the core's
    /// packet lock, in that order. False when generation failed (already logged).
    bool GenerateSyncSnapshot(CSyncEntry& entry);
    /// Empties the store and gives the unsent stream packet back to the pool; identifiers
    /// keep counting.
    /// Any thread, once the writers are stopped.
    void Cleanup();

    /// The objects lock: held across the use of an object from CreateObject or FindObject.
    CAutoMutex& GetObjectsLock() { return m_csObjects; }

protected:
    int32_t DoRun() override;

private:
    CRepositoryObject& CreateObjectLocked(std::string_view name, std::string_view typeName);
    uint16_t TypeIdLocked(std::string_view typeName);
    void WritePropertyRecord(uint8_t token, const CRepositoryObject& object, uint64_t propertyId,
                             std::string_view value) override;
    /// Waits for the stop event, flushing the stream at each tick of the timer.
    void RunFlushLoop(HANDLE timer);

    IStreamCore& m_Core;
    CMonitoredMutex m_csObjects;
    // guarded by m_csObjects:
    CStreamPacketSink m_StreamSink;
    CRecordWriter m_StreamWriter; ///< holds the current stream packet
    uint64_t m_nNextPropertyId = 1;
    CNameRegistry<uint64_t> m_Properties;
    uint16_t m_nNextTypeId = 1;
    std::map<std::string, uint16_t, std::less<>> m_mapTypes;
    uint64_t m_nNextObjectId = 1;
    CServerObjects m_mapObjects;
    std::map<std::string, uint64_t, std::less<>> m_mapObjectNames;
};
