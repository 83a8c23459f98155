// Times a client repository applying a snapshot rendered by the server benchmark.
//   store_client_bench <snapshot file>

#include "BenchTimer.h"
#include "net/common/QVNET_SeqPkt.h"
#include "platform/ResidentMemory.h"
#include "store/ChangeRecords.h"
#include "Subsidiary/ByteReader.h"
#include "store/client/ObjectsRepository.h"
#include "Subsidiary/LittleEndian.h"

#include <cstdio>
#include <fstream>
#include <vector>

namespace {

using Packets = std::vector<std::vector<uint8_t>>;

volatile size_t g_nParsed; // keeps the baseline's reads from being optimised away

Packets ReadPackets(const char* fileName)
{
    std::ifstream file(fileName, std::ios::binary);
    Packets packets;
    uint8_t length[4];
    while (file.read(reinterpret_cast<char*>(length), sizeof length)) {
        packets.emplace_back(LoadU32LE(length));
        file.read(reinterpret_cast<char*>(packets.back().data()), packets.back().size());
    }
    return packets;
}

double Apply(CObjectsRepository& repository, const Packets& packets)
{
    return TimeMs([&] {
        for (const std::vector<uint8_t>& packet : packets)
            repository.ApplyRecords(packet.data() + QVNET_StreamHeader::kSize,
                                    static_cast<uint32_t>(packet.size()) - QVNET_StreamHeader::kSize);
    });
}

// The floor: reading every field of the snapshot's records without storing anything.
double ParseBaseline(const Packets& packets)
{
    size_t fields = 0;
    const double ms = TimeMs([&] {
        uint8_t entries = 0;
        for (const std::vector<uint8_t>& packet : packets) {
            CByteReader reader(packet.data() + QVNET_StreamHeader::kSize,
                                 static_cast<uint32_t>(packet.size()) - QVNET_StreamHeader::kSize);
            while (!reader.AtEnd()) {
                if (entries > 0) {
                    fields += reader.GetU64() + reader.GetString().size();
                    --entries;
                    continue;
                }
                const uint8_t token = reader.GetU8();
                if (token == OREC_PROP_DEF)
                    fields += reader.GetU64();
                else if (token == OREC_TYPE_DEF)
                    fields += reader.GetU16();
                else {
                    fields += reader.GetU16() + reader.GetU64();
                    entries = reader.GetU8();
                }
                fields += reader.GetString().size();
            }
        }
    });
    g_nParsed = fields;
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: store_client_bench <snapshot file>\n");
        return 2;
    }
    const Packets packets = ReadPackets(argv[1]);
    const uint64_t residentBefore = platform::GetResidentMemoryBytes();
    CObjectsRepository repository;
    std::vector<double> applyMs;
    for (int run = 0; run < 3; ++run) {
        if (run > 0)
            repository.Cleanup();
        applyMs.push_back(Apply(repository, packets));
    }
    const uint64_t residentStore = platform::GetResidentMemoryBytes() - residentBefore;
    const double parseMs = ParseBaseline(packets);
    PrintFigure("ApplyRecords of the snapshot (median of 3)", Median(applyMs), parseMs, 200);
    // A joining client's store is fresh: its memory is touched for the first time.
    PrintFigure("ApplyRecords into a fresh store (the first)", applyMs.front(), parseMs, 200);
    std::printf("  client store: %llu objects from %zu packets\n",
                static_cast<unsigned long long>(repository.GetObjectCount()), packets.size());
    PrintResident("client store", residentStore);
    return 0;
}
