#pragma once
// Fills packets with change records. Each record goes into the current packet when it
// fits its free room; otherwise that packet is closed and handed off, and the record
// starts a fresh one. A packet is never closed without a record in it. A record is checked
// and given its room before its first byte is written, so a refused record leaves nothing
// behind the commit mark set where it began, and the packet holds only whole records.

#include "store/RecordPacketSink.h"
#include "Subsidiary/UDPBuff.h"

#include <cstdint>
#include <string_view>

class CRecordWriter {
public:
    explicit CRecordWriter(IRecordPacketSink& sink) : m_Sink(sink) {}
    CRecordWriter(const CRecordWriter&) = delete;
    CRecordWriter& operator=(const CRecordWriter&) = delete;

    // Each writes one record or throws having left the packets as they were (apart from a
    // full packet closed to make room).
    void WriteTypeDef(uint16_t typeId, std::string_view name);
    void WritePropDef(uint64_t propertyId, std::string_view name);
    void WriteObjCreate(uint16_t typeId, uint64_t objectId, uint8_t propertyCount, std::string_view name);
    /// A property entry of the object creation written last; it may start the next packet.
    void WritePropEntry(uint64_t propertyId, std::string_view value);
    void WritePropRecord(uint8_t token, uint64_t objectId, uint64_t propertyId, std::string_view value);
    void WriteFeedComplete(uint64_t feedNo);

    bool HasBuffer() const { return static_cast<bool>(m_Buffer); }
    /// The packet being filled, or null.
    const CUDPBuff* GetBuffer() const { return m_Buffer.Get(); }
    /// True when the current packet holds at least one record.
    bool HasRecords() const;
    /// Closes the current packet, if it holds records, and hands it off; an empty one stays
    /// current. If the hand-off throws, the packet is dropped unsent: the receiver may already
    /// share it, so it must not be written again.
    void ClosePacket();
    /// Gives the current buffer to the caller, leaving the writer without one.
    CUDPBuffRef TakeBuffer() { return std::move(m_Buffer); }

private:
    /// The fit test: returns the buffer the record goes into, its commit mark set.
    CUDPBuff& BeginRecord(uint32_t size);
    /// One record of `size` bytes whose one string field (empty if none) is `text`.
    template <class PutFields>
    void Write(uint32_t size, std::string_view text, PutFields putFields);

    IRecordPacketSink& m_Sink;
    CUDPBuffRef m_Buffer;
};
