#include "Subsidiary/UDPBuff.h"

#include "Subsidiary/LittleEndian.h"
#include "Subsidiary/ObjArchiveException.h"

#include <cstring>

CUDPBuff::CUDPBuff(uint32_t capacity)
    : m_pStart(capacity != 0 ? new uint8_t[capacity] : nullptr), m_nCapacity(capacity),
      m_Reader(m_pStart.get(), capacity)
{
}

CUDPBuff* CUDPBuff::AddRef()
{
    m_nRefCount.fetch_add(1, std::memory_order_relaxed);
    return this;
}

int32_t CUDPBuff::Release()
{
    const int32_t count = m_nRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0)
        delete this;
    return count;
}

void CUDPBuff::SetSize(uint32_t size)
{
    if (size > m_nCapacity)
        throw CObjArchiveException(OAE_OUT_OF_MEMORY);
    m_nWritePos = size;
}

void CUDPBuff::SetMark(uint32_t mark)
{
    if (mark > m_nCapacity)
        throw CObjArchiveException(OAE_OUT_OF_MEMORY);
    m_nMark = mark;
}

uint8_t* CUDPBuff::Reserve(uint32_t count)
{
    if (count > m_nCapacity - m_nWritePos)
        throw CObjArchiveException(OAE_OUT_OF_MEMORY);
    uint8_t* at = m_pStart.get() + m_nWritePos;
    m_nWritePos += count;
    return at;
}

void CUDPBuff::PutU8(uint8_t value)
{
    *Reserve(1) = value;
}

void CUDPBuff::PutU16(uint16_t value)
{
    StoreU16LE(Reserve(2), value);
}

void CUDPBuff::PutU32(uint32_t value)
{
    StoreU32LE(Reserve(4), value);
}

void CUDPBuff::PutU64(uint64_t value)
{
    StoreU64LE(Reserve(8), value);
}

void CUDPBuff::PutBytes(const void* bytes, uint32_t count)
{
    if (count != 0)
        std::memcpy(Reserve(count), bytes, count);
}

void CUDPBuff::CheckString(std::string_view text)
{
    if (text.size() > kMaxString || text.find('\0') != std::string_view::npos)
        throw CObjArchiveException(OAE_STRING_TOO_LONG);
}

void CUDPBuff::PutString(std::string_view text)
{
    CheckString(text);
    const auto length = static_cast<uint32_t>(text.size());
    uint8_t* at = Reserve(length + 1);
    std::memcpy(at, text.data(), length);
    at[length] = 0;
}
