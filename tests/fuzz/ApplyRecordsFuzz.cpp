// Fuzz target: the client repository applying change records as the snapshot and the stream
// hand them over, entries of an object carried on into the next body included. The input is
// a series of packet bodies, each a block. A refused body empties the repository, as the
// client's restart does; only refusals may leave it. At the end the replica is exported, which
// looks up the names of every object's type and properties.

#include "fuzz/FuzzInput.h"
#include "store/client/ObjectsRepository.h"

#include <stdexcept>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One repository for the whole run: the lock monitor keeps a record for every lock object.
    static CObjectsRepository repository;
    repository.Cleanup();
    CFuzzInput input(data, size);
    while (!input.AtEnd()) {
        const std::vector<uint8_t> body = input.OwnBlock();
        if (body.empty())
            continue; // the client core never hands over a packet without records
        try {
            repository.ApplyRecords(body.data(), static_cast<uint32_t>(body.size()));
        } catch (const std::logic_error&) {
            repository.Cleanup();
        }
    }
    repository.SaveToFile("/dev/null");
    return 0;
}
