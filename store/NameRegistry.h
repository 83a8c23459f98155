#pragma once
// A one-to-one mapping between names and identifiers: the type and property registries.
// Names order bytewise (std::string compares characters as unsigned bytes).

#include <map>
#include <string>
#include <string_view>

template <class Id>
class CNameRegistry {
public:
    using ByName = std::map<std::string, Id, std::less<>>;
    using ById = std::map<Id, std::string>;

    /// The identifier of a name, or null.
    const Id* FindId(std::string_view name) const
    {
        auto it = m_mapByName.find(name);
        return it != m_mapByName.end() ? &it->second : nullptr;
    }
    /// The name of an identifier, or null.
    const std::string* FindName(Id id) const
    {
        auto it = m_mapById.find(id);
        return it != m_mapById.end() ? &it->second : nullptr;
    }
    /// Enters the pair; the caller has made sure that neither the name nor the id is known.
    void Insert(Id id, std::string_view name)
    {
        auto named = m_mapByName.emplace(std::string(name), id).first;
        try {
            m_mapById.emplace(id, std::string(name));
        } catch (...) {
            m_mapByName.erase(named);
            throw;
        }
    }
    /// Removes an identifier and its name, if present.
    void Erase(Id id)
    {
        auto it = m_mapById.find(id);
        if (it == m_mapById.end())
            return;
        m_mapByName.erase(it->second);
        m_mapById.erase(it);
    }
    void Clear()
    {
        m_mapByName.clear();
        m_mapById.clear();
    }
    bool IsEmpty() const { return m_mapById.empty(); }
    const ByName& GetByName() const { return m_mapByName; }
    const ById& GetById() const { return m_mapById; }

private:
    ByName m_mapByName;
    ById m_mapById;
};
