#pragma once
// The client store's objects: held one after another in the order they arrived, which for a
// snapshot is ascending id order, and found by id through a flat hash table of positions.
// Filling the store then writes the objects sequentially, and the table it probes at random
// is a fifth of the objects' size. Any insertion or erasure may move the objects.

#include "store/RepositoryObject.h"
#include "store/client/ObjectMaps.h"

#include <cstdint>
#include <string>
#include <vector>

class CObjectTable {
public:
    /// The object, or null.
    CRepositoryObject* Find(uint64_t id)
    {
        auto found = m_mapPositions.find(id);
        return found != m_mapPositions.end() ? &m_vecObjects[found->second] : nullptr;
    }
    bool Contains(uint64_t id) const { return m_mapPositions.contains(id); }
    /// A new object without properties, or null when the id is taken.
    CRepositoryObject* Insert(uint16_t typeId, uint64_t id, std::string name);
    /// Removes the object; false when there is none.
    bool Erase(uint64_t id);
    void Clear();
    size_t Size() const { return m_vecObjects.size(); }
    /// In the order they arrived.
    const std::vector<CRepositoryObject>& GetObjects() const { return m_vecObjects; }

private:
    std::vector<CRepositoryObject> m_vecObjects;
    CObjectPositionMap m_mapPositions; ///< id → index in m_vecObjects
};
