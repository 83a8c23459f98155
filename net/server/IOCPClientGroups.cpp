#include "net/server/IOCPClientGroups.h"

#include <iterator>

void CIOCPClientGroups::Add(uint64_t clientId, const std::set<int32_t>& groups)
{
    for (int32_t groupId : groups)
        ++m_mapGroups[groupId][clientId];
}

void CIOCPClientGroups::Remove(uint64_t clientId, const std::set<int32_t>& groups)
{
    for (int32_t groupId : groups) {
        auto group = m_mapGroups.find(groupId);
        if (group != m_mapGroups.end())
            Drop(group, clientId, false);
    }
}

void CIOCPClientGroups::RemoveAll(uint64_t clientId)
{
    for (auto group = m_mapGroups.begin(); group != m_mapGroups.end();) {
        auto next = std::next(group);
        Drop(group, clientId, true);
        group = next;
    }
}

void CIOCPClientGroups::Drop(std::map<int32_t, std::map<uint64_t, int32_t>>::iterator group, uint64_t clientId,
                             bool all)
{
    auto member = group->second.find(clientId);
    if (member == group->second.end())
        return;
    if (all || --member->second <= 0)
        group->second.erase(member);
    if (group->second.empty())
        m_mapGroups.erase(group);
}

uint32_t CIOCPClientGroups::GetSize(int32_t groupId) const
{
    auto group = m_mapGroups.find(groupId);
    return group == m_mapGroups.end() ? 0 : static_cast<uint32_t>(group->second.size());
}

std::vector<uint64_t> CIOCPClientGroups::GetMembers(int32_t groupId) const
{
    std::vector<uint64_t> members;
    auto group = m_mapGroups.find(groupId);
    if (group != m_mapGroups.end())
        for (const auto& [clientId, count] : group->second)
            members.push_back(clientId);
    return members;
}
