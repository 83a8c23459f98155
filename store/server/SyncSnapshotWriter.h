#pragma once
// Renders the server's store into a joining client's snapshot: property definitions, type
// definitions, then every object with its properties as entries of its creation record,
// in packets that all carry the snapshot's sequence number and go to the entry's list.

#include "store/RecordPacketSink.h"
#include "store/RecordWriter.h"
#include "store/RepositoryObject.h"
#include "store/StreamCore.h"
#include "store/SyncEntry.h"
#include "store/server/ServerObjects.h"

#include <cstdint>
#include <map>
#include <string>

class CSyncSnapshotWriter : private IRecordPacketSink {
public:
    /// The entry's sequence number is already set. The thread that holds the store's lock.
    CSyncSnapshotWriter(IStreamCore& core, CSyncEntry& entry);

    void WritePropertyDefs(const std::map<uint64_t, std::string>& properties);
    void WriteTypeDefs(const std::map<std::string, uint16_t, std::less<>>& types);
    /// An object's entries may continue in the next packets.
    void WriteObjects(const CServerObjects& objects);
    /// Closes the last packet. An unfinished snapshot drops its unsent packet instead.
    void Finish();

private:
    CUDPBuffRef AcquirePacket() override;
    uint32_t GetPacketTag() override;
    void HandOffPacket(CUDPBuff& packet) override;

    IStreamCore& m_Core;
    CSyncEntry& m_Entry;
    CRecordWriter m_Writer;
};
