#pragma once
// Client groups: each group maps its members' client ids to a membership count. A group
// exists while it has members. No lock of its own: the server's lock guards it.

#include <cstdint>
#include <map>
#include <set>
#include <vector>

class CIOCPClientGroups {
public:
    /// Creates missing groups; each membership counts once more.
    void Add(uint64_t clientId, const std::set<int32_t>& groups);
    /// One count less in each group; a member at 0 leaves, an emptied group goes.
    void Remove(uint64_t clientId, const std::set<int32_t>& groups);
    /// The client leaves every group whatever its counts.
    void RemoveAll(uint64_t clientId);
    /// Members of the group, 0 when there is no such group.
    uint32_t GetSize(int32_t groupId) const;
    /// The group's member ids, none when there is no such group.
    std::vector<uint64_t> GetMembers(int32_t groupId) const;

private:
    void Drop(std::map<int32_t, std::map<uint64_t, int32_t>>::iterator group, uint64_t clientId, bool all);

    std::map<int32_t, std::map<uint64_t, int32_t>> m_mapGroups;
};
