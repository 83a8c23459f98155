#pragma once
// The statistics records of the last slots that were closed because a send hung, oldest first.

#include "net/server/IOCPClientStats.h"
#include "Subsidiary/AutoMutex.h"

#include <cstddef>
#include <deque>
#include <vector>

class CIOCPSendStuckList {
public:
    static constexpr size_t kMaxRecords = 8;

    /// Appends the record, dropping the oldest beyond kMaxRecords. Any thread.
    void Add(const CIOCPClientStats& record);
    /// A copy of the records, oldest first. Any thread.
    std::vector<CIOCPClientStats> GetRecords();

private:
    CAutoMutex m_cs; // the dropped-clients lock
    // guarded by m_cs
    std::deque<CIOCPClientStats> m_records;
};
