#pragma once
// How a server-side object announces a property change to its repository, which turns it
// into a change record of the stream.

#include <cstdint>
#include <string_view>

class CRepositoryObject;

class IObjectChangeWriter {
public:
    virtual ~IObjectChangeWriter() = default;
    /// Writes OREC_PROP_ADD or OREC_PROP_CHANGE for the object; throws having written nothing.
    /// The thread that holds the repository's lock.
    virtual void WritePropertyRecord(uint8_t token, const CRepositoryObject& object,
                                     uint64_t propertyId, std::string_view value) = 0;
};
