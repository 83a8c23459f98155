#include "Subsidiary/NETArchive.h"

#include <cstring>
#include <new>

CNETArchive::CNETArchive(uint32_t growStep) : m_nGrowStep(growStep) {}

CNETArchive::~CNETArchive()
{
    Free();
}

bool CNETArchive::Reserve(uint32_t needed)
{
    // Headers are written in place after a reserve each: only a real shortage may reallocate,
    // and the valid bytes must always fit.
    if (needed <= m_nCapacity)
        return true;
    const uint64_t size = static_cast<uint64_t>(needed) + m_nGrowStep;
    if (size > UINT32_MAX)
        return false;
    auto* data = new (std::nothrow) uint8_t[size];
    if (data == nullptr)
        return false;
    const uint32_t readOffset = GetReadOffset();
    if (m_nCount != 0)
        std::memcpy(data, m_pData, m_nCount);
    delete[] m_pData;
    m_pData = data;
    m_pRead = data + readOffset;
    m_nCapacity = static_cast<uint32_t>(size);
    return true;
}

bool CNETArchive::Append(const void* bytes, uint32_t count)
{
    if (static_cast<uint64_t>(m_nCount) + count > m_nCapacity) {
        if (static_cast<uint64_t>(m_nCount) + count > UINT32_MAX || !Reserve(m_nCount + count))
            return false;
    }
    if (count != 0)
        std::memcpy(m_pData + m_nCount, bytes, count);
    m_nCount += count;
    return true;
}

void CNETArchive::Consume(uint32_t count)
{
    if (count > m_nCount)
        count = m_nCount;
    if (count == 0)
        return;
    std::memmove(m_pData, m_pData + count, m_nCount - count);
    m_nCount -= count;
    const uint32_t readOffset = GetReadOffset();
    m_pRead = m_pData + (readOffset > count ? readOffset - count : 0);
}

void CNETArchive::Commit(uint32_t count)
{
    m_nCount = count > m_nCapacity - m_nCount ? m_nCapacity : m_nCount + count;
}

void CNETArchive::Clear()
{
    m_nCount = 0;
    m_pRead = m_pData;
}

void CNETArchive::Free()
{
    delete[] m_pData;
    m_pData = nullptr;
    m_pRead = nullptr;
    m_nCount = 0;
    m_nCapacity = 0;
}

void CNETArchive::SetReadOffset(uint32_t offset)
{
    m_pRead = m_pData + (offset > m_nCount ? m_nCount : offset);
}
