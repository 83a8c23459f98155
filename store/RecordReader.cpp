#include "store/RecordReader.h"

#include "Subsidiary/LittleEndian.h"
#include "Subsidiary/ObjArchiveException.h"

#include <cstring>

const uint8_t* CRecordReader::Consume(uint32_t count)
{
    if (count > m_nLength - m_nPos)
        throw CObjArchiveException(OAE_END_OF_DATA);
    const uint8_t* at = m_pData + m_nPos;
    m_nPos += count;
    return at;
}

uint8_t CRecordReader::GetU8()
{
    return *Consume(1);
}

uint16_t CRecordReader::GetU16()
{
    return LoadU16LE(Consume(2));
}

uint64_t CRecordReader::GetU64()
{
    return LoadU64LE(Consume(8));
}

std::string CRecordReader::GetString()
{
    const uint8_t* from = m_pData + m_nPos;
    const uint32_t remaining = m_nLength - m_nPos;
    const void* zero = remaining != 0 ? std::memchr(from, 0, remaining) : nullptr;
    if (zero == nullptr)
        throw CObjArchiveException(OAE_END_OF_DATA);
    const auto length = static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - from);
    m_nPos += length + 1;
    return std::string(reinterpret_cast<const char*>(from), length);
}
