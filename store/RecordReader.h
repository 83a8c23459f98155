#pragma once
// Reads the fields of change records from a packet body. Every read checks the end of the
// body first and throws CObjArchiveException type 1 ("Unexpected end of data!") when the
// field is cut off or a string has no zero byte before the end.

#include <cstdint>
#include <string>

class CRecordReader {
public:
    CRecordReader(const uint8_t* body, uint32_t length) : m_pData(body), m_nLength(length) {}

    bool AtEnd() const { return m_nPos == m_nLength; }

    uint8_t GetU8();
    uint16_t GetU16();
    uint64_t GetU64();
    std::string GetString();

private:
    const uint8_t* Consume(uint32_t count);

    const uint8_t* m_pData;
    uint32_t m_nLength;
    uint32_t m_nPos = 0;
};
