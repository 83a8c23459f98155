#include "store/client/ObjectsRepository.h"

#include "store/ChangeRecords.h"
#include "Subsidiary/ByteReader.h"
#include "store/client/ExportFileName.h"
#include "platform/Process.h"
#include "Subsidiary/Log.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <vector>

CObjectsRepository::CObjectsRepository() : m_csObjects("CObjectsRepository::m_csObjects") {}

void CObjectsRepository::ApplyRecords(const uint8_t* body, uint32_t length)
{
    CAutoLock lock(m_csObjects);
    CByteReader reader(body, length);
    try {
        if (m_nRemainingEntries > 0)
            ReadPropertyEntries(reader, FindObjectLocked(m_nCurrentObject));
        while (!reader.AtEnd()) {
            ApplyRecord(reader, reader.GetU8());
            ++m_nChanges;
        }
    } catch (...) {
        // Whatever follows a refused record must not be taken for property entries.
        m_nRemainingEntries = 0;
        throw;
    }
}

void CObjectsRepository::ApplyRecord(CByteReader& reader, uint8_t token)
{
    switch (RecordClass(token)) {
    case ORC_TYPE:
        return ApplyTypeDef(reader);
    case ORC_PROP_DEF:
        return ApplyPropDef(reader);
    case ORC_OBJECT:
        if (token == OREC_OBJ_DELETE)
            return ApplyObjDelete(reader);
        return ApplyObjCreate(reader);
    case ORC_PROP:
        return ApplyPropRecord(reader, token);
    case ORC_FEED:
        return ApplyFeedComplete(reader);
    case ORC_COPY:
        return ApplyPropCopy(reader);
    case ORC_CHECK:
        if (reader.GetU64() != OREC_CHECK_VALUE)
            throw std::logic_error("Broken feed!");
        return;
    default:
        throw std::logic_error("Bad token!");
    }
}

// Refusals are checked before anything is entered, so a refused record leaves no trace.
void CObjectsRepository::ApplyTypeDef(CByteReader& reader)
{
    const uint16_t id = reader.GetU16();
    const std::string_view name = reader.GetStringView();
    if (m_Types.FindId(name) != nullptr)
        throw std::logic_error("Duplicate object type!");
    if (m_Types.FindName(id) != nullptr)
        throw std::logic_error("Duplicate object type ID!");
    m_Types.Insert(id, name);
}

void CObjectsRepository::ApplyPropDef(CByteReader& reader)
{
    const uint64_t id = reader.GetU64();
    const std::string_view name = reader.GetStringView();
    if (m_Properties.FindId(name) != nullptr)
        throw std::logic_error("Duplicate property name 1!");
    if (m_Properties.FindName(id) != nullptr)
        throw std::logic_error("Duplicate property name 2!");
    m_Properties.Insert(id, name);
}

void CObjectsRepository::ApplyObjCreate(CByteReader& reader)
{
    const uint16_t typeId = reader.GetU16();
    const uint64_t id = reader.GetU64();
    const uint8_t entries = reader.GetU8();
    const std::string_view name = reader.GetStringView();
    auto [named, isNewName] = m_mapObjectNames.try_emplace(std::string(name), id);
    if (!isNewName)
        throw std::logic_error("Duplicate obj name!");
    CRepositoryObject* created = nullptr;
    try {
        created = m_Objects.Insert(typeId, id, std::string(name));
    } catch (...) {
        m_mapObjectNames.erase(named);
        throw;
    }
    if (created == nullptr) {
        m_mapObjectNames.erase(named);
        throw std::logic_error("Duplicate obj ID!");
    }
    CRepositoryObject& object = *created;
    object.ReserveProperties(entries);
    m_nCurrentObject = id;
    m_nRemainingEntries = entries;
    ReadPropertyEntries(reader, object);
}

void CObjectsRepository::ReadPropertyEntries(CByteReader& reader, CRepositoryObject& object)
{
    while (m_nRemainingEntries > 0 && !reader.AtEnd()) {
        const uint64_t propertyId = reader.GetU64();
        const std::string_view value = reader.GetStringView();
        if (object.HasProperty(propertyId))
            throw std::logic_error("Duplicate property ID!");
        object.InsertProperty(propertyId, value);
        --m_nRemainingEntries;
    }
}

void CObjectsRepository::ApplyObjDelete(CByteReader& reader)
{
    const uint64_t id = reader.GetU64();
    m_nCurrentObject = id;
    const CRepositoryObject* object = m_Objects.Find(id);
    if (object == nullptr)
        throw std::logic_error("Delete unknown obj!");
    m_mapObjectNames.erase(object->GetName());
    m_Objects.Erase(id);
}

void CObjectsRepository::ApplyPropRecord(CByteReader& reader, uint8_t token)
{
    const uint64_t objectId = reader.GetU64();
    const uint64_t propertyId = reader.GetU64();
    const std::string_view value = reader.GetStringView();
    CRepositoryObject& object = FindObjectLocked(objectId);
    if (token == OREC_PROP_ADD)
        object.InsertProperty(propertyId, value);
    else if (token == OREC_PROP_CHANGE)
        object.ChangeProperty(propertyId, value);
    else
        throw std::logic_error("Bad operation for object prop!");
}

void CObjectsRepository::ApplyFeedComplete(CByteReader& reader)
{
    const uint64_t feedNo = reader.GetU64();
    LogMessage(FormatString("Feed %I64u completed, objects : %I64u, changes : %I64u!",
                            static_cast<unsigned long long>(feedNo),
                            static_cast<unsigned long long>(m_Objects.Size()),
                            static_cast<unsigned long long>(m_nChanges)),
               LOG_MSG, "OnFeedComplete");
    m_nChanges = 0;
}

void CObjectsRepository::ApplyPropCopy(CByteReader& reader)
{
    const uint64_t sourceId = reader.GetU64();
    const uint64_t targetId = reader.GetU64();
    const uint64_t propertyId = reader.GetU64();
    const CRepositoryObject& source = FindObjectLocked(sourceId);
    CRepositoryObject& target = FindObjectLocked(targetId);
    target.ChangeProperty(propertyId, source.GetProperty(propertyId));
}

CRepositoryObject& CObjectsRepository::FindObjectLocked(uint64_t objectId)
{
    CRepositoryObject* object = m_Objects.Find(objectId);
    if (object == nullptr)
        throw std::invalid_argument("No such object!");
    return *object;
}

const CRepositoryObject& CObjectsRepository::FindObject(uint64_t objectId)
{
    CAutoLock lock(m_csObjects);
    return FindObjectLocked(objectId);
}

std::string CObjectsRepository::GetTypeName(uint16_t typeId)
{
    CAutoLock lock(m_csObjects);
    const std::string* name = m_Types.FindName(typeId);
    if (name == nullptr)
        throw std::invalid_argument("Unknown object type ID!");
    return *name;
}

std::string CObjectsRepository::GetPropertyName(uint64_t propertyId)
{
    CAutoLock lock(m_csObjects);
    const std::string* name = m_Properties.FindName(propertyId);
    if (name == nullptr)
        throw std::invalid_argument("No such prop!");
    return *name;
}

uint64_t CObjectsRepository::GetObjectCount()
{
    CAutoLock lock(m_csObjects);
    return m_Objects.Size();
}

void CObjectsRepository::Cleanup()
{
    CAutoLock lock(m_csObjects);
    LogMessage("Delete objects...", LOG_MSG, "CObjectsRepository::Cleanup");
    m_mapObjectNames.clear();
    m_Objects.Clear();
    m_Types.Clear();
    m_Properties.Clear();
    m_nChanges = 0;
    m_nCurrentObject = 0;
    m_nRemainingEntries = 0;
    LogMessage("Done", LOG_MSG, "CObjectsRepository::Cleanup");
}

void CObjectsRepository::SaveToFile()
{
    SaveToFile(ExportFileName(platform::GetExecutablePath(), platform::GetCurrentProcessId()));
}

void CObjectsRepository::SaveToFile(const std::string& fileName)
{
    CAutoLock lock(m_csObjects);
    try {
        std::ofstream file(fileName, std::ios::out | std::ios::trunc | std::ios::binary); // the same bytes on every system
        if (file.is_open()) {
            file.exceptions(std::ios::badbit | std::ios::failbit);
            WriteObjects(file);
            file.close();
        } else {
            LogMessage("Unable to create the file!", LOG_ERR, "SaveToFile");
        }
    } catch (const std::exception& e) {
        LogFormatted("SaveToFile", LOG_ERR, "%s", e.what());
    }
    LogMessage(FormatString("Objects [%u] saved to file : %s!", static_cast<unsigned>(m_Objects.Size()),
                            fileName.c_str()),
               LOG_MSG, "SaveToFile");
}

// Names are looked up before a line is written, so a failed lookup leaves no half line.
void CObjectsRepository::WriteObjects(std::ostream& file)
{
    std::vector<const CRepositoryObject*> inIdOrder;
    inIdOrder.reserve(m_Objects.Size());
    m_Objects.ForEach([&](const CRepositoryObject& object) { inIdOrder.push_back(&object); });
    std::sort(inIdOrder.begin(), inIdOrder.end(),
              [](const CRepositoryObject* a, const CRepositoryObject* b) { return a->GetId() < b->GetId(); });
    for (const CRepositoryObject* object : inIdOrder) {
        const std::string typeName = GetTypeName(object->GetTypeId());
        file << '[' << object->GetName() << "] - [" << typeName << ']' << std::endl;
        for (const auto& [propertyId, value] : object->GetProperties()) {
            const std::string propertyName = GetPropertyName(propertyId);
            file << '\t' << propertyName << " = " << value << std::endl;
        }
        file << std::endl;
    }
}
