#include "store/RecordWriter.h"

#include "net/common/QVNET_SeqPkt.h"
#include "store/ChangeRecords.h"
#include "Subsidiary/LittleEndian.h"

#include <cstring>

bool CRecordWriter::HasRecords() const
{
    return m_Buffer && m_Buffer->GetSize() > QVNET_StreamHeader::kSize;
}

void CRecordWriter::ClosePacket()
{
    if (!HasRecords())
        return; // an empty packet stays current for the next record
    CUDPBuffRef packet = std::move(m_Buffer);
    packet->SetTag(m_Sink.GetPacketTag());
    uint8_t* data = packet->GetData();
    QVNET_PktHeader::Write(data, QVNET_StreamHeader::kId, packet->GetSize());
    m_Sink.HandOffPacket(*packet);
}

CUDPBuff& CRecordWriter::BeginRecord(uint32_t size)
{
    // A record too big even for a fresh packet fails in its put and leaves this one as it
    // is; closing it first would send a packet without records, which clients refuse.
    if (m_Buffer && m_Buffer->GetFree() < size && HasRecords())
        ClosePacket();
    if (!m_Buffer) {
        m_Buffer = m_Sink.AcquirePacket();
        m_Buffer->SetSize(QVNET_StreamHeader::kSize);
    }
    m_Buffer->SetMark(m_Buffer->GetSize());
    return *m_Buffer;
}

namespace {

/// Writes a record's fields into the bytes reserved for it; the fit test has counted them.
class CFieldCursor {
public:
    explicit CFieldCursor(uint8_t* at) : m_pAt(at) {}
    void U8(uint8_t value) { *m_pAt++ = value; }
    void U16(uint16_t value)
    {
        StoreU16LE(m_pAt, value);
        m_pAt += 2;
    }
    void U64(uint64_t value)
    {
        StoreU64LE(m_pAt, value);
        m_pAt += 8;
    }
    void String(std::string_view text)
    {
        if (!text.empty())
            std::memcpy(m_pAt, text.data(), text.size());
        m_pAt += text.size();
        *m_pAt++ = 0;
    }

private:
    uint8_t* m_pAt;
};

} // namespace

template <class PutFields>
void CRecordWriter::Write(uint32_t size, std::string_view text, PutFields putFields)
{
    CUDPBuff& buffer = BeginRecord(size);
    CUDPBuff::CheckString(text);
    CFieldCursor cursor(buffer.Reserve(size));
    putFields(cursor);
}

void CRecordWriter::WriteTypeDef(uint16_t typeId, std::string_view name)
{
    Write(TypeDefSize(name), name, [&](CFieldCursor& c) {
        c.U8(OREC_TYPE_DEF);
        c.U16(typeId);
        c.String(name);
    });
}

void CRecordWriter::WritePropDef(uint64_t propertyId, std::string_view name)
{
    Write(PropDefSize(name), name, [&](CFieldCursor& c) {
        c.U8(OREC_PROP_DEF);
        c.U64(propertyId);
        c.String(name);
    });
}

void CRecordWriter::WriteObjCreate(uint16_t typeId, uint64_t objectId, uint8_t propertyCount,
                                   std::string_view name)
{
    Write(ObjCreateSize(name), name, [&](CFieldCursor& c) {
        c.U8(OREC_OBJ_CREATE);
        c.U16(typeId);
        c.U64(objectId);
        c.U8(propertyCount);
        c.String(name);
    });
}

void CRecordWriter::WritePropEntry(uint64_t propertyId, std::string_view value)
{
    Write(PropEntrySize(value), value, [&](CFieldCursor& c) {
        c.U64(propertyId);
        c.String(value);
    });
}

void CRecordWriter::WritePropRecord(uint8_t token, uint64_t objectId, uint64_t propertyId,
                                    std::string_view value)
{
    Write(PropRecordSize(value), value, [&](CFieldCursor& c) {
        c.U8(token);
        c.U64(objectId);
        c.U64(propertyId);
        c.String(value);
    });
}

void CRecordWriter::WriteFeedComplete(uint64_t feedNo)
{
    Write(kFeedCompleteSize, {}, [&](CFieldCursor& c) {
        c.U8(OREC_FEED_COMPLETE);
        c.U64(feedNo);
    });
}
