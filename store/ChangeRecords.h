#pragma once
// The one binary encoding of store changes, shared by the live stream and the snapshot.
// A record is a token byte (high nibble: class, low nibble: operation) followed by its
// fields, little-endian and unaligned; strings end with one zero byte.

#include <cstdint>
#include <string_view>

enum EObjectRecord : uint8_t {
    OREC_TYPE_DEF = 0x11,      ///< type id (u16), type name
    OREC_PROP_DEF = 0x21,      ///< property id (u64), property name
    OREC_OBJ_CREATE = 0x31,    ///< type id (u16), object id (u64), property count (u8), name, entries
    OREC_OBJ_DELETE = 0x32,    ///< object id (u64)
    OREC_PROP_ADD = 0x41,      ///< object id (u64), property id (u64), value
    OREC_PROP_CHANGE = 0x43,   ///< object id (u64), property id (u64), value
    OREC_FEED_COMPLETE = 0x50, ///< feed number (u64)
    OREC_PROP_COPY = 0x60,     ///< source object id (u64), target object id (u64), property id (u64)
    OREC_CHECK = 0xF0,         ///< check value (u64)
};

/// Record classes: the high nibble of a token.
enum EObjectRecordClass : uint8_t {
    ORC_TYPE = 0x1,
    ORC_PROP_DEF = 0x2,
    ORC_OBJECT = 0x3,
    ORC_PROP = 0x4,
    ORC_FEED = 0x5,
    ORC_COPY = 0x6,
    ORC_CHECK = 0xF,
};

inline constexpr uint64_t OREC_CHECK_VALUE = 0x12345678FF0055AAULL;

/// Largest number of properties one object may hold.
inline constexpr uint32_t kMaxObjectProperties = 255;

inline constexpr uint8_t RecordClass(uint8_t token)
{
    return static_cast<uint8_t>(token >> 4);
}

// Sizes in bytes, token included; a string costs its length plus the zero byte.
inline uint32_t TypeDefSize(std::string_view name)
{
    return 4 + static_cast<uint32_t>(name.size());
}

inline uint32_t PropDefSize(std::string_view name)
{
    return 10 + static_cast<uint32_t>(name.size());
}

inline uint32_t ObjCreateSize(std::string_view name)
{
    return 13 + static_cast<uint32_t>(name.size());
}

/// A property entry inside an object creation; it has no token.
inline uint32_t PropEntrySize(std::string_view value)
{
    return 9 + static_cast<uint32_t>(value.size());
}

inline uint32_t PropRecordSize(std::string_view value)
{
    return 18 + static_cast<uint32_t>(value.size());
}

inline constexpr uint32_t kFeedCompleteSize = 9;
