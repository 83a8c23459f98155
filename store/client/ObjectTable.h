#pragma once
// The client store's objects: held one after another in the order they arrived, which for a
// snapshot is ascending id order, and found by id through a flat hash table of positions.
// They live in chunks of fixed size that never move, so a growing store neither copies its
// objects nor touches memory twice, and a reference stays valid until its object is erased;
// erasing moves the last object into the gap.

#include "store/RepositoryObject.h"
#include "store/client/ObjectMaps.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CObjectTable {
public:
    /// The object, or null.
    CRepositoryObject* Find(uint64_t id)
    {
        auto found = m_mapPositions.find(id);
        return found != m_mapPositions.end() ? &At(found->second) : nullptr;
    }
    bool Contains(uint64_t id) const { return m_mapPositions.contains(id); }
    /// A new object without properties, or null when the id is taken.
    CRepositoryObject* Insert(uint16_t typeId, uint64_t id, std::string name);
    /// Removes the object; false when there is none.
    bool Erase(uint64_t id);
    void Clear();
    size_t Size() const { return m_nCount; }
    /// Calls `visit` with every object, in the order they arrived.
    template <class Visit>
    void ForEach(Visit visit) const
    {
        for (const std::vector<CRepositoryObject>& chunk : m_vecChunks)
            for (const CRepositoryObject& object : chunk)
                visit(object);
    }

private:
    static constexpr size_t kChunkObjects = 1024;

    CRepositoryObject& At(size_t position) { return m_vecChunks[position / kChunkObjects][position % kChunkObjects]; }

    /// Each reserved for kChunkObjects when it is made, so that it never reallocates.
    std::vector<std::vector<CRepositoryObject>> m_vecChunks;
    size_t m_nCount = 0;
    CObjectPositionMap m_mapPositions; ///< id → position in arrival order
};
