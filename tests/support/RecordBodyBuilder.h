#pragma once
// Builds packet bodies of change records byte by byte, including records the server never
// writes and records that are cut off or malformed.

#include "store/ChangeRecords.h"
#include "Subsidiary/LittleEndian.h"

#include <cstdint>
#include <string_view>
#include <vector>

class CRecordBodyBuilder {
public:
    CRecordBodyBuilder& U8(uint8_t value)
    {
        m_vecBytes.push_back(value);
        return *this;
    }
    CRecordBodyBuilder& U16(uint16_t value)
    {
        uint8_t bytes[2];
        StoreU16LE(bytes, value);
        m_vecBytes.insert(m_vecBytes.end(), bytes, bytes + 2);
        return *this;
    }
    CRecordBodyBuilder& U64(uint64_t value)
    {
        uint8_t bytes[8];
        StoreU64LE(bytes, value);
        m_vecBytes.insert(m_vecBytes.end(), bytes, bytes + 8);
        return *this;
    }
    CRecordBodyBuilder& Str(std::string_view text)
    {
        m_vecBytes.insert(m_vecBytes.end(), text.begin(), text.end());
        return U8(0);
    }

    CRecordBodyBuilder& TypeDef(uint16_t id, std::string_view name, uint8_t token = OREC_TYPE_DEF)
    {
        return U8(token).U16(id).Str(name);
    }
    CRecordBodyBuilder& PropDef(uint64_t id, std::string_view name, uint8_t token = OREC_PROP_DEF)
    {
        return U8(token).U64(id).Str(name);
    }
    CRecordBodyBuilder& Create(uint16_t typeId, uint64_t id, uint8_t entries, std::string_view name,
                               uint8_t token = OREC_OBJ_CREATE)
    {
        return U8(token).U16(typeId).U64(id).U8(entries).Str(name);
    }
    CRecordBodyBuilder& Entry(uint64_t propertyId, std::string_view value) { return U64(propertyId).Str(value); }
    CRecordBodyBuilder& Delete(uint64_t id) { return U8(OREC_OBJ_DELETE).U64(id); }
    CRecordBodyBuilder& Prop(uint8_t token, uint64_t objectId, uint64_t propertyId, std::string_view value)
    {
        return U8(token).U64(objectId).U64(propertyId).Str(value);
    }
    CRecordBodyBuilder& Feed(uint64_t feedNo, uint8_t token = OREC_FEED_COMPLETE) { return U8(token).U64(feedNo); }
    CRecordBodyBuilder& Copy(uint64_t sourceId, uint64_t targetId, uint64_t propertyId)
    {
        return U8(OREC_PROP_COPY).U64(sourceId).U64(targetId).U64(propertyId);
    }
    CRecordBodyBuilder& Check(uint64_t value) { return U8(OREC_CHECK).U64(value); }

    const std::vector<uint8_t>& Bytes() const { return m_vecBytes; }
    const uint8_t* Data() const { return m_vecBytes.data(); }
    uint32_t Size() const { return static_cast<uint32_t>(m_vecBytes.size()); }

private:
    std::vector<uint8_t> m_vecBytes;
};
