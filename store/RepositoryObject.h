#pragma once
// One object of the store: a type, a unique id and name, and up to 255 properties with
// text values ordered by property id. The server's forms of add and change announce each
// change through the object's change writer; the client's forms only apply it.
// An object belongs to its repository's map and is guarded by the repository's lock.

#include "store/ObjectChangeWriter.h"

#include <boost/container/flat_map.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CRepositoryObject {
public:
    /// A sorted vector: an object holds few properties, and walking them in order is what
    /// the snapshot and the export do.
    using PropertyMap = boost::container::flat_map<uint64_t, std::string>;

    /// A client-side object: it has no change writer, so SetProperty/AddProperty refuse.
    CRepositoryObject(uint16_t typeId, uint64_t objectId, std::string name);
    /// A server-side object whose changes are written through `writer`.
    CRepositoryObject(uint16_t typeId, uint64_t objectId, std::string name, IObjectChangeWriter& writer);

    uint16_t GetTypeId() const { return m_nTypeId; }
    uint64_t GetId() const { return m_nId; }
    const std::string& GetName() const { return m_strName; }
    const PropertyMap& GetProperties() const { return m_mapProperties; }
    bool HasProperty(uint64_t propertyId) const { return m_mapProperties.contains(propertyId); }
    /// Room for `count` properties, so that an object received with them grows once.
    void ReserveProperties(size_t count) { m_mapProperties.reserve(count); }

    // Server forms: each change is written as a record first; a failed write leaves the
    // object as it was.
    void SetProperty(uint64_t propertyId, std::string_view value);
    void AddProperty(uint64_t propertyId, std::string_view value);

    // Client forms, applying records received from the server.
    void InsertProperty(uint64_t propertyId, std::string_view value);
    void ChangeProperty(uint64_t propertyId, std::string_view value);

    /// A copy of the value; throws "No such prop!".
    std::string GetProperty(uint64_t propertyId) const;

private:
    IObjectChangeWriter& Writer() const;

    uint16_t m_nTypeId;
    uint64_t m_nId;
    std::string m_strName;
    PropertyMap m_mapProperties;
    IObjectChangeWriter* m_pWriter = nullptr;
};
