#include "net/server/IOCPSendStuckList.h"

void CIOCPSendStuckList::Add(const CIOCPClientStats& record)
{
    CAutoLock lock(m_cs);
    m_records.push_back(record);
    while (m_records.size() > kMaxRecords)
        m_records.pop_front();
}

std::vector<CIOCPClientStats> CIOCPSendStuckList::GetRecords()
{
    CAutoLock lock(m_cs);
    return {m_records.begin(), m_records.end()};
}
