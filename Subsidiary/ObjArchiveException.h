#pragma once
// The exception of the typed put and get primitives.

#include <cstdint>
#include <stdexcept>

enum EObjArchiveError : uint32_t {
    OAE_OK = 0,
    OAE_END_OF_DATA = 1,     ///< a read past the data, or a string without its zero byte
    OAE_OUT_OF_MEMORY = 2,   ///< a write past the capacity
    OAE_STRING_TOO_LONG = 3, ///< a string of more than 2048 characters
};

class CObjArchiveException : public std::logic_error {
public:
    explicit CObjArchiveException(uint32_t type) : std::logic_error(TextOf(type)), m_nType(type) {}

    uint32_t GetType() const { return m_nType; }

    static const char* TextOf(uint32_t type)
    {
        switch (type) {
        case OAE_OK:
            return "OK!";
        case OAE_END_OF_DATA:
            return "Unexpected end of data!";
        case OAE_OUT_OF_MEMORY:
            return "Out of memory!";
        case OAE_STRING_TOO_LONG:
            return "String too long!";
        default:
            return "Unknown exception!";
        }
    }

private:
    uint32_t m_nType;
};
