// Applies recorded stream or snapshot packets to a client repository, then saves it.
//   client_replay <packets file> <export file>
// The packets file holds each packet as its length (u32, little-endian) and its bytes.
// Exits with 1 after the first refused packet, naming the refusal.

#include "net/common/QVNET_SeqPkt.h"
#include "store/client/ObjectsRepository.h"
#include "Subsidiary/LittleEndian.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <vector>

namespace {

bool ReadPacket(std::ifstream& file, std::vector<uint8_t>& packet)
{
    uint8_t length[4];
    if (!file.read(reinterpret_cast<char*>(length), sizeof length))
        return false;
    packet.resize(LoadU32LE(length));
    return static_cast<bool>(file.read(reinterpret_cast<char*>(packet.data()), packet.size()));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: client_replay <packets file> <export file>\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    CObjectsRepository repository;
    std::vector<uint8_t> packet;
    while (ReadPacket(file, packet)) {
        try {
            repository.ApplyRecords(packet.data() + QVNET_StreamHeader::kSize,
                                    static_cast<uint32_t>(packet.size()) - QVNET_StreamHeader::kSize);
        } catch (const std::exception& e) {
            std::printf("Refused: %s\n", e.what());
            return 1;
        }
    }
    repository.SaveToFile(argv[2]);
    return 0;
}
