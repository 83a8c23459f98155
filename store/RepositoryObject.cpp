#include "store/RepositoryObject.h"

#include "store/ChangeRecords.h"

#include <stdexcept>
#include <utility>

CRepositoryObject::CRepositoryObject(uint16_t typeId, uint64_t objectId, std::string name)
    : m_nTypeId(typeId), m_nId(objectId), m_strName(std::move(name))
{
}

CRepositoryObject::CRepositoryObject(uint16_t typeId, uint64_t objectId, std::string name,
                                     IObjectChangeWriter& writer)
    : m_nTypeId(typeId), m_nId(objectId), m_strName(std::move(name)), m_pWriter(&writer)
{
}

IObjectChangeWriter& CRepositoryObject::Writer() const
{
    if (m_pWriter == nullptr)
        throw std::logic_error("Object has no change writer!");
    return *m_pWriter;
}

void CRepositoryObject::SetProperty(uint64_t propertyId, std::string_view value)
{
    auto it = m_mapProperties.find(propertyId);
    if (it == m_mapProperties.end()) {
        AddProperty(propertyId, value);
        return;
    }
    Writer().WritePropertyRecord(OREC_PROP_CHANGE, *this, propertyId, value);
    it->second = value;
}

void CRepositoryObject::AddProperty(uint64_t propertyId, std::string_view value)
{
    IObjectChangeWriter& writer = Writer();
    if (m_mapProperties.size() > kMaxObjectProperties - 1)
        throw std::invalid_argument("Too much props per object!");
    auto [it, inserted] = m_mapProperties.emplace(propertyId, value);
    if (!inserted)
        throw std::invalid_argument("Already present!");
    try {
        writer.WritePropertyRecord(OREC_PROP_ADD, *this, propertyId, value);
    } catch (...) {
        m_mapProperties.erase(it);
        throw;
    }
}

void CRepositoryObject::InsertProperty(uint64_t propertyId, std::string_view value)
{
    if (m_mapProperties.size() > kMaxObjectProperties - 1)
        throw std::invalid_argument("Too much props in object!");
    if (!m_mapProperties.emplace(propertyId, value).second)
        throw std::invalid_argument("Property already present!");
}

void CRepositoryObject::ChangeProperty(uint64_t propertyId, std::string_view value)
{
    auto it = m_mapProperties.find(propertyId);
    if (it == m_mapProperties.end())
        throw std::invalid_argument("Property not present!");
    it->second = value;
}

std::string CRepositoryObject::GetProperty(uint64_t propertyId) const
{
    auto it = m_mapProperties.find(propertyId);
    if (it == m_mapProperties.end())
        throw std::invalid_argument("No such prop!");
    return it->second;
}
