#include "store/server/SyncSnapshotWriter.h"

#include "net/common/QVNET_SeqPkt.h"

CSyncSnapshotWriter::CSyncSnapshotWriter(IStreamCore& core, CSyncEntry& entry)
    : m_Core(core), m_Entry(entry), m_Writer(*this)
{
}

void CSyncSnapshotWriter::WritePropertyDefs(const std::map<uint64_t, std::string>& properties)
{
    for (const auto& [id, name] : properties)
        m_Writer.WritePropDef(id, name);
}

void CSyncSnapshotWriter::WriteTypeDefs(const std::map<std::string, uint16_t, std::less<>>& types)
{
    for (const auto& [name, id] : types)
        m_Writer.WriteTypeDef(id, name);
}

void CSyncSnapshotWriter::WriteObjects(const CServerObjects& objects)
{
    for (const auto& [id, object] : objects) {
        const CRepositoryObject::PropertyMap& properties = object.GetProperties();
        m_Writer.WriteObjCreate(object.GetTypeId(), id, static_cast<uint8_t>(properties.size()),
                                object.GetName());
        for (const auto& [propertyId, value] : properties)
            m_Writer.WritePropEntry(propertyId, value);
    }
}

// The last packet holds records: a packet is taken only for a record, and never closed empty.
void CSyncSnapshotWriter::Finish()
{
    m_Writer.ClosePacket();
}

CUDPBuffRef CSyncSnapshotWriter::AcquirePacket()
{
    return m_Core.AcquireStreamBuffer();
}

uint32_t CSyncSnapshotWriter::GetPacketTag()
{
    return m_Core.GetMulticastGroupAddress();
}

void CSyncSnapshotWriter::HandOffPacket(CUDPBuff& packet)
{
    QVNET_StreamHeader::WriteSeq(packet.GetData(), m_Entry.m_nSeq);
    m_Entry.m_lstPackets.push_back(CUDPBuffRef::Share(&packet));
}
