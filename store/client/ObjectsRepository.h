#pragma once
// The client's replica of the server's store, built only from change records: first the
// snapshot's, then the live stream's. Every record is checked against what the replica
// holds; an inconsistent one is refused with an exception, upon which the client starts
// over with a fresh snapshot.

#include "store/NameRegistry.h"
#include "store/RepositoryObject.h"
#include "store/client/ObjectMaps.h"
#include "store/client/ObjectTable.h"
#include "Subsidiary/AutoMutex.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

class CByteReader;

class CObjectsRepository {
public:
    CObjectsRepository();
    CObjectsRepository(const CObjectsRepository&) = delete;
    CObjectsRepository& operator=(const CObjectsRepository&) = delete;

    /// Applies the records of one packet body (the bytes after its 13-byte header) under one
    /// lock. Throws at the first refused record; the records before it stay applied.
    /// The client's connection thread (snapshot) or its main thread (stream), never both at once.
    void ApplyRecords(const uint8_t* body, uint32_t length);

    /// Throws "No such object!". The reference is valid while the caller holds the lock.
    /// Any thread.
    const CRepositoryObject& FindObject(uint64_t objectId);
    /// Throws "Unknown object type ID!". Any thread.
    std::string GetTypeName(uint16_t typeId);
    /// Throws "No such prop!". Any thread.
    std::string GetPropertyName(uint64_t propertyId);
    /// Any thread.
    uint64_t GetObjectCount();
    /// Empties the replica. Any thread.
    void Cleanup();
    /// Writes the replica to "<program path without extension>_<pid>.txt"; never throws.
    /// Any thread (the console's).
    void SaveToFile();
    /// Writes the replica to the named file and logs the outcome; never throws. Any thread.
    void SaveToFile(const std::string& fileName);

    /// Guards everything above; recursive. Hold it to keep references from FindObject.
    CAutoMutex& GetObjectsLock() { return m_csObjects; }

private:
    CRepositoryObject& FindObjectLocked(uint64_t objectId);
    void ApplyRecord(CByteReader& reader, uint8_t token);
    void ApplyTypeDef(CByteReader& reader);
    void ApplyPropDef(CByteReader& reader);
    void ApplyObjCreate(CByteReader& reader);
    void ApplyObjDelete(CByteReader& reader);
    void ReadPropertyEntries(CByteReader& reader, CRepositoryObject& object);
    void ApplyPropRecord(CByteReader& reader, uint8_t token);
    void ApplyFeedComplete(CByteReader& reader);
    void ApplyPropCopy(CByteReader& reader);
    void WriteObjects(std::ostream& file);

    CMonitoredMutex m_csObjects;
    // guarded by m_csObjects:
    CNameRegistry<uint64_t> m_Properties;
    CNameRegistry<uint16_t> m_Types;
    CObjectTable m_Objects; ///< in arrival order: the export sorts when it saves
    CObjectNameMap m_mapObjectNames;
    uint64_t m_nCurrentObject = 0;  ///< the object whose snapshot entries are being read
    uint8_t m_nRemainingEntries = 0; ///< its entries still to come, in the next body
    uint64_t m_nChanges = 0;        ///< records applied since the last feed completion
};
