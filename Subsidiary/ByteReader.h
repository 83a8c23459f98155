#pragma once
// Reads little-endian fields from a run of bytes: a received packet or a packet body. Every
// read checks the end first and throws CObjArchiveException type 1 ("Unexpected end of
// data!") when the field is cut off or a string has no zero byte before the end; a failed
// read consumes nothing.

#include <cstdint>
#include <string>
#include <string_view>

class CByteReader {
public:
    CByteReader(const uint8_t* data, uint32_t length) : m_pData(data), m_nLength(length) {}

    bool AtEnd() const { return m_nPos == m_nLength; }
    uint32_t GetPos() const { return m_nPos; }
    /// Throws type 1 for a position past the end.
    void SetPos(uint32_t pos);
    uint32_t GetRemaining() const { return m_nLength - m_nPos; }

    uint8_t GetU8();
    uint16_t GetU16();
    uint32_t GetU32();
    uint64_t GetU64();
    std::string GetString() { return std::string(GetStringView()); }
    /// The characters of a string, pointing into the data: valid for as long as the data is.
    std::string_view GetStringView();

private:
    const uint8_t* Consume(uint32_t count);

    const uint8_t* m_pData;
    uint32_t m_nLength;
    uint32_t m_nPos = 0;
};
