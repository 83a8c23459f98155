#include "store/RecordWriter.h"

#include "net/common/QVNET_SeqPkt.h"
#include "store/ChangeRecords.h"

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

template <class PutFields>
void CRecordWriter::Write(uint32_t size, PutFields putFields)
{
    CUDPBuff& buffer = BeginRecord(size);
    try {
        putFields(buffer);
    } catch (...) {
        buffer.RollbackToMark();
        throw;
    }
}

void CRecordWriter::WriteTypeDef(uint16_t typeId, std::string_view name)
{
    Write(TypeDefSize(name), [&](CUDPBuff& b) {
        b.PutU8(OREC_TYPE_DEF);
        b.PutU16(typeId);
        b.PutString(name);
    });
}

void CRecordWriter::WritePropDef(uint64_t propertyId, std::string_view name)
{
    Write(PropDefSize(name), [&](CUDPBuff& b) {
        b.PutU8(OREC_PROP_DEF);
        b.PutU64(propertyId);
        b.PutString(name);
    });
}

void CRecordWriter::WriteObjCreate(uint16_t typeId, uint64_t objectId, uint8_t propertyCount,
                                   std::string_view name)
{
    Write(ObjCreateSize(name), [&](CUDPBuff& b) {
        b.PutU8(OREC_OBJ_CREATE);
        b.PutU16(typeId);
        b.PutU64(objectId);
        b.PutU8(propertyCount);
        b.PutString(name);
    });
}

void CRecordWriter::WritePropEntry(uint64_t propertyId, std::string_view value)
{
    Write(PropEntrySize(value), [&](CUDPBuff& b) {
        b.PutU64(propertyId);
        b.PutString(value);
    });
}

void CRecordWriter::WritePropRecord(uint8_t token, uint64_t objectId, uint64_t propertyId,
                                    std::string_view value)
{
    Write(PropRecordSize(value), [&](CUDPBuff& b) {
        b.PutU8(token);
        b.PutU64(objectId);
        b.PutU64(propertyId);
        b.PutString(value);
    });
}

void CRecordWriter::WriteFeedComplete(uint64_t feedNo)
{
    Write(kFeedCompleteSize, [&](CUDPBuff& b) {
        b.PutU8(OREC_FEED_COMPLETE);
        b.PutU64(feedNo);
    });
}
