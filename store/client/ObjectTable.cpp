#include "store/client/ObjectTable.h"

#include <utility>

CRepositoryObject* CObjectTable::Insert(uint16_t typeId, uint64_t id, std::string name)
{
    auto [entered, isNew] = m_mapPositions.try_emplace(id, static_cast<uint32_t>(m_vecObjects.size()));
    if (!isNew)
        return nullptr;
    try {
        return &m_vecObjects.emplace_back(typeId, id, std::move(name));
    } catch (...) {
        m_mapPositions.erase(entered);
        throw;
    }
}

// The last object fills the gap, so the objects stay contiguous.
bool CObjectTable::Erase(uint64_t id)
{
    auto found = m_mapPositions.find(id);
    if (found == m_mapPositions.end())
        return false;
    const uint32_t position = found->second;
    m_mapPositions.erase(found);
    if (position + 1 != m_vecObjects.size()) {
        m_vecObjects[position] = std::move(m_vecObjects.back());
        m_mapPositions[m_vecObjects[position].GetId()] = position;
    }
    m_vecObjects.pop_back();
    return true;
}

void CObjectTable::Clear()
{
    m_vecObjects.clear();
    m_mapPositions.clear();
}
