#include "Subsidiary/ByteReader.h"

#include "Subsidiary/LittleEndian.h"
#include "Subsidiary/ObjArchiveException.h"

#include <cstring>

void CByteReader::SetPos(uint32_t pos)
{
    if (pos > m_nLength)
        throw CObjArchiveException(OAE_END_OF_DATA);
    m_nPos = pos;
}

const uint8_t* CByteReader::Consume(uint32_t count)
{
    if (count > m_nLength - m_nPos)
        throw CObjArchiveException(OAE_END_OF_DATA);
    const uint8_t* at = m_pData + m_nPos;
    m_nPos += count;
    return at;
}

uint8_t CByteReader::GetU8()
{
    return *Consume(1);
}

uint16_t CByteReader::GetU16()
{
    return LoadU16LE(Consume(2));
}

uint32_t CByteReader::GetU32()
{
    return LoadU32LE(Consume(4));
}

uint64_t CByteReader::GetU64()
{
    return LoadU64LE(Consume(8));
}

std::string_view CByteReader::GetStringView()
{
    const uint8_t* from = m_pData + m_nPos;
    const uint32_t remaining = m_nLength - m_nPos;
    const void* zero = remaining != 0 ? std::memchr(from, 0, remaining) : nullptr;
    if (zero == nullptr)
        throw CObjArchiveException(OAE_END_OF_DATA);
    const auto length = static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - from);
    m_nPos += length + 1;
    return std::string_view(reinterpret_cast<const char*>(from), length);
}
