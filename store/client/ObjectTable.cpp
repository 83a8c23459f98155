#include "store/client/ObjectTable.h"

#include <utility>

CRepositoryObject* CObjectTable::Insert(uint16_t typeId, uint64_t id, std::string name)
{
    auto [entered, isNew] = m_mapPositions.try_emplace(id, static_cast<uint32_t>(m_nCount));
    if (!isNew)
        return nullptr;
    try {
        if (m_nCount == m_vecChunks.size() * kChunkObjects) {
            m_vecChunks.emplace_back();
            m_vecChunks.back().reserve(kChunkObjects);
        }
        CRepositoryObject& object = m_vecChunks.back().emplace_back(typeId, id, std::move(name));
        ++m_nCount;
        return &object;
    } catch (...) {
        m_mapPositions.erase(entered);
        throw;
    }
}

bool CObjectTable::Erase(uint64_t id)
{
    auto found = m_mapPositions.find(id);
    if (found == m_mapPositions.end())
        return false;
    const uint32_t position = found->second;
    m_mapPositions.erase(found);
    CRepositoryObject& last = At(m_nCount - 1);
    if (position + 1 != m_nCount) {
        At(position) = std::move(last);
        m_mapPositions[At(position).GetId()] = position;
    }
    m_vecChunks.back().pop_back();
    if (m_vecChunks.back().empty())
        m_vecChunks.pop_back();
    --m_nCount;
    return true;
}

void CObjectTable::Clear()
{
    m_vecChunks.clear();
    m_nCount = 0;
    m_mapPositions.clear();
}
