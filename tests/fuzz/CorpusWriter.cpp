// Writes the binary seed inputs of the fuzz targets into <folder>/<target>/, in the input
// languages the targets read (FuzzInput.h): valid sessions and streams built with the
// programs' own encoders, and a few with the faults the code must survive.
//   fuzz_corpus_writer tests/fuzz/corpus

#include "net/common/QVNET_PktHeader.h"
#include "net/common/QVNET_RetransmitPkt.h"
#include "net/common/QVNET_SeqPkt.h"
#include "net/common/SessionProtocol.h"
#include "support/RecordBodyBuilder.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using CBytes = std::vector<uint8_t>;

CBytes operator+(CBytes first, const CBytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

CBytes Frame(uint32_t command, const CBytes& payload = {})
{
    CBytes frame(CSessionHeader::kSize);
    CSessionHeader::Write(frame.data(), static_cast<uint32_t>(frame.size() + payload.size()), command);
    return frame + payload;
}

CBytes InitRequest(uint32_t cookie, const char* signature = kSessionSignature)
{
    CSessionInitRequest request = CSessionInitRequest::ForThisProtocol();
    std::snprintf(request.szSignature, sizeof request.szSignature, "%s", signature);
    request.nCookie = cookie;
    CBytes frame(CSessionInitRequest::kFrameSize);
    request.WriteFrame(frame.data());
    return frame;
}

CBytes InitAnswer(uint32_t result)
{
    CSessionInitAnswer answer;
    answer.nResult = result;
    CBytes frame(CSessionInitAnswer::kFrameSize);
    answer.WriteFrame(frame.data());
    return frame;
}

template <size_t N>
CBytes Bytes(const std::array<uint8_t, N>& packet)
{
    return {packet.begin(), packet.end()};
}

CBytes SeqPacket(uint8_t id, uint64_t seq, const CBytes& body = {})
{
    CBytes packet(QVNET_StreamHeader::kSize);
    QVNET_PktHeader::Write(packet.data(), id, static_cast<uint32_t>(packet.size() + body.size()));
    QVNET_StreamHeader::WriteSeq(packet.data(), seq);
    return packet + body;
}

/// A snapshot's first packet at Q: the type, the property and an object holding it.
CBytes SnapshotPacket(uint64_t q)
{
    return SeqPacket(QVNET_ID_STREAM, q,
                     CRecordBodyBuilder()
                         .TypeDef(1, "Bean").PropDef(7, "price").Create(1, 1, 1, "base").Entry(7, "1")
                         .Bytes());
}

/// Stream packet `seq` changes the price of the object base.
CBytes StreamPacket(uint64_t seq)
{
    return SeqPacket(QVNET_ID_STREAM, seq,
                     CRecordBodyBuilder().Prop(OREC_PROP_CHANGE, 1, 7, std::to_string(seq)).Bytes());
}

/// Session inputs: a flags byte, then pieces of at most 256 bytes, each behind its length - 1.
class CSessionInput {
public:
    CSessionInput& Session(uint8_t flags)
    {
        m_bytes.push_back(flags);
        return *this;
    }
    /// The bytes in pieces of `pieceSize`.
    CSessionInput& Send(const CBytes& bytes, size_t pieceSize = 256)
    {
        for (size_t at = 0; at < bytes.size(); at += pieceSize) {
            const size_t count = std::min(pieceSize, bytes.size() - at);
            m_bytes.push_back(static_cast<uint8_t>(count - 1));
            m_bytes.insert(m_bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                           bytes.begin() + static_cast<std::ptrdiff_t>(at + count));
        }
        return *this;
    }
    const CBytes& Bytes() const { return m_bytes; }

private:
    CBytes m_bytes;
};

/// Inputs made of operations and blocks (a two-byte length, then the bytes).
class CProgramInput {
public:
    CProgramInput& Op(uint8_t op)
    {
        m_bytes.push_back(op);
        return *this;
    }
    CProgramInput& Block(const CBytes& block)
    {
        m_bytes.push_back(static_cast<uint8_t>(block.size()));
        m_bytes.push_back(static_cast<uint8_t>(block.size() >> 8));
        m_bytes.insert(m_bytes.end(), block.begin(), block.end());
        return *this;
    }
    CProgramInput& U64(uint64_t value)
    {
        for (int i = 0; i < 8; ++i)
            m_bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return *this;
    }
    const CBytes& Bytes() const { return m_bytes; }

private:
    CBytes m_bytes;
};

// The client stream target's operations, in the order of its EOperation.
enum : uint8_t {
    CONNECT, DISCONNECT, TCP, SYNC_COMPLETE, DATAGRAM, APPLY, RETRANSMIT, PURGE, CLOCK, RESTART, CONNECT_TIMER
};

void Write(const std::filesystem::path& folder, const char* target, const char* name, const CBytes& bytes)
{
    std::filesystem::create_directories(folder / target);
    std::ofstream(folder / target / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteServerSessions(const std::filesystem::path& folder)
{
    const CBytes requests = Frame(CMD_USER, Bytes(QVNET_SyncRequestPkt::Build(0))) +
                            Frame(CMD_USER, Bytes(QVNET_NextSyncPkt::Build(0))) +
                            Frame(CMD_USER, QVNET_RetransmitPkt::Build(std::vector<uint64_t>{11, 12, 15}));
    Write(folder, "session_server", "admitted_requests",
          CSessionInput().Session(1).Send(InitRequest(42)).Send(requests, 17).Bytes());
    Write(folder, "session_server", "init_bytewise_then_unknown_command",
          CSessionInput().Session(0).Send(InitRequest(7), 1).Send(Frame(9) + requests).Bytes());
    Write(folder, "session_server", "refusals",
          CSessionInput()
              .Session(1).Send(InitRequest(1, "another protocol"))
              .Session(2).Send(InitRequest(2))
              .Session(4).Send(InitRequest(3))
              .Session(0).Send(Frame(CMD_USER, Bytes(QVNET_SyncRequestPkt::Build(0))))
              .Bytes());
    CBytes shortFrame = InitRequest(9);
    shortFrame.resize(124);
    CSessionHeader::Write(shortFrame.data(), static_cast<uint32_t>(shortFrame.size()), CMD_INIT);
    CBytes badMagic = Frame(CMD_USER, {1, 2, 3});
    badMagic[0] = 0x55;
    Write(folder, "session_server", "malformed_frames",
          CSessionInput()
              .Session(0).Send(shortFrame)
              .Session(0).Send(InitRequest(5) + badMagic)
              .Session(0).Send(InitRequest(6) + Frame(CMD_USER, {5, 13, 0, 0}))
              .Bytes());
}

void WriteClientSessions(const std::filesystem::path& folder)
{
    const CBytes snapshot = Frame(CMD_USER, SnapshotPacket(10)) +
                            Frame(CMD_USER, Bytes(QVNET_SyncCompletePkt::Build(10))) + Frame(CMD_UNKNOWN_CMD) +
                            Frame(9);
    Write(folder, "session_client", "admitted_snapshot",
          CSessionInput().Session(0).Send(InitAnswer(INIT_ADMITTED) + snapshot, 29).Bytes());
    Write(folder, "session_client", "refused_then_ignored",
          CSessionInput()
              .Session(0).Send(Frame(CMD_USER, {1}) + InitAnswer(INIT_TOO_MANY_CLIENTS))
              .Session(1).Send(InitAnswer(INIT_FORBIDDEN_CLIENT))
              .Session(1).Send(InitAnswer(INIT_REFUSED), 1)
              .Bytes());
    CBytes badMagic = InitAnswer(INIT_ADMITTED);
    badMagic[1] = 0xAA;
    Write(folder, "session_client", "malformed_frames",
          CSessionInput()
              .Session(0).Send(InitAnswer(INIT_ADMITTED) + Frame(CMD_USER))
              .Session(0).Send(Frame(CMD_INIT_ANSWER, {0, 0}))
              .Session(0).Send(badMagic)
              .Bytes());
}

void WriteClientStreams(const std::filesystem::path& folder)
{
    const CBytes datagram = StreamPacket(10) + StreamPacket(11) + Bytes(QVNET_HeartbeatPkt::Build(12));
    Write(folder, "client_stream", "sync_then_stream",
          CProgramInput()
              .Op(DATAGRAM).Block(StreamPacket(9)).Op(CONNECT).Op(TCP).Block(SnapshotPacket(10))
              .Op(DATAGRAM).Block(datagram).Op(SYNC_COMPLETE).U64(10).Op(APPLY).Op(PURGE).Op(RETRANSMIT)
              .Bytes());
    Write(folder, "client_stream", "gap_repaired",
          CProgramInput()
              .Op(CONNECT).Op(TCP).Block(SnapshotPacket(10)).Op(SYNC_COMPLETE).U64(10)
              .Op(DATAGRAM).Block(StreamPacket(10) + StreamPacket(15)).Op(RETRANSMIT).Op(CLOCK).Op(3).Op(RETRANSMIT)
              .Op(DATAGRAM).Block(StreamPacket(11) + StreamPacket(12) + StreamPacket(13))
              .Op(DATAGRAM).Block(StreamPacket(14)).Op(APPLY).Op(PURGE)
              .Bytes());
    CBytes odd = StreamPacket(11);
    QVNET_PktHeader::Write(odd.data(), QVNET_ID_STREAM, static_cast<uint32_t>(odd.size() + 1));
    Write(folder, "client_stream", "faults_and_restarts",
          CProgramInput()
              .Op(CONNECT).Op(TCP).Block(SnapshotPacket(10)).Op(SYNC_COMPLETE).U64(10)
              .Op(DATAGRAM).Block(StreamPacket(10) + Bytes(QVNET_HeartbeatPkt::Build(1000)))
              .Op(RETRANSMIT).Op(RESTART).Op(CONNECT_TIMER)
              .Op(CONNECT).Op(TCP).Block({1, 13, 0}).Op(RESTART).Op(CONNECT).Op(DATAGRAM).Block(odd)
              .Op(CONNECT).Op(SYNC_COMPLETE).U64(5).Op(CLOCK).Op(60).Op(PURGE).Op(DISCONNECT)
              .Bytes());
}

void WriteRecordBodies(const std::filesystem::path& folder)
{
    const CBytes definitions = CRecordBodyBuilder()
                                   .TypeDef(1, "Bean").PropDef(7, "price").PropDef(8, "size")
                                   .Create(1, 100, 2, "first").Entry(7, "10").Entry(8, "2")
                                   .Create(1, 101, 0, "second")
                                   .Bytes();
    const CBytes changes = CRecordBodyBuilder()
                               .Prop(OREC_PROP_ADD, 101, 7, "11").Prop(OREC_PROP_CHANGE, 100, 7, "12")
                               .Copy(100, 101, 7).Feed(1).Check(OREC_CHECK_VALUE).Delete(100)
                               .Bytes();
    Write(folder, "apply_records", "every_record",
          CProgramInput().Block(definitions).Block(changes).Bytes());
    Write(folder, "apply_records", "entries_across_bodies",
          CProgramInput()
              .Block(CRecordBodyBuilder().TypeDef(2, "Pod").Create(2, 5, 3, "split").Entry(1, "a").Bytes())
              .Block(CRecordBodyBuilder().Entry(2, "b").Entry(3, "c").Feed(9, 0x5F).Bytes())
              .Bytes());
    Write(folder, "apply_records", "refused_then_fresh",
          CProgramInput()
              .Block(CRecordBodyBuilder().TypeDef(1, "Bean").TypeDef(1, "Other").Bytes())
              .Block(CRecordBodyBuilder().Create(1, 1, 0, "x", 0x3F).Check(1).Bytes())
              .Block(CRecordBodyBuilder().TypeDef(3, "Late", 0x1A).U8(0x70).Bytes())
              .Bytes());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    WriteServerSessions(folder);
    WriteClientSessions(folder);
    WriteClientStreams(folder);
    WriteRecordBodies(folder);
    return 0;
}
