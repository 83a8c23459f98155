// Times the server's store on the work the data feed and joining clients give it, with the
// lock monitor watching every lock, then runs the client benchmark on the rendered snapshot.
//   store_server_bench [snapshot file]

#include "BenchStreamCore.h"
#include "BenchTimer.h"
#include "platform/ResidentMemory.h"
#include "store/RepositoryObject.h"
#include "store/server/ObjectsRepository.h"
#include "Subsidiary/LittleEndian.h"
#include "Subsidiary/Log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kObjects = 80000;
constexpr int kObjectsWithProperties = 30000;
constexpr int kBurstSteps = 1000;
constexpr int kRuns = 5;

const char* const kNames[] = {
    "artichoke", "Arugula",   "Asparagus", "Aubergine",  "Amaranth",  "Legumes",      "Alfalfa",
    "Azuki",     "Bean",      "Black",     "Black-eyed", "Borlotti",  "Broad",        "Chickpeas",
    "Green",     "Kidney",    "Lentils",   "Lima",       "Mung",      "Navy",         "Pinto",
    "Runner",    "Split",     "Soy",       "Peas",       "Mangetout", "Beet",         "Bok",
    "Broccoflower", "Broccoli", "Brussels", "Cabbage",   "Calabrese", "Carrots",      "Cauliflower",
    "Celery",    "Chard",     "Collard",   "Corn",       "Endive",    "Fiddleheads",  "Frisee"};
constexpr int kNameCount = sizeof kNames / sizeof kNames[0];

const char* RandomName()
{
    return kNames[std::rand() % kNameCount];
}

// The store's work without its lock, records or name index: plain maps of objects.
using PlainObjects = std::map<uint64_t, CRepositoryObject>;

double CreateBaseline(const std::vector<std::string>& names, const std::vector<std::string>& types,
                      PlainObjects& objects)
{
    std::map<std::string, uint64_t> byName;
    return TimeMs([&] {
        for (int i = 0; i < kObjects; ++i) {
            const uint64_t id = static_cast<uint64_t>(i) + 1;
            byName.emplace(names[i], id);
            objects.try_emplace(id, static_cast<uint16_t>(types[i].size()), id, names[i]);
        }
    });
}

double CreateObjects(CObjectsRepository& repository, const std::vector<std::string>& names,
                     const std::vector<std::string>& types)
{
    return TimeMs([&] {
        for (int i = 0; i < kObjects; ++i) {
            repository.CreateObject(names[i], types[i]);
            repository.GetObjectsLock().Unlock();
        }
    });
}

void AddProperties(CObjectsRepository& repository)
{
    for (uint64_t id = 1; id <= kObjectsWithProperties; ++id) {
        CRepositoryObject& object = repository.FindObject(id);
        for (int p = 0; p < 3; ++p)
            object.SetProperty(repository.GetPropertyId(kNames[(id + 7 * p) % kNameCount]), RandomName());
        repository.GetObjectsLock().Unlock();
    }
}

// One snapshot generated as the server core does it, with its locks held in their order.
double GenerateSnapshot(CObjectsRepository& repository, CBenchStreamCore& core, CSyncEntry& entry)
{
    CAutoLock objects(repository.GetObjectsLock());
    CAutoLock packets(core.GetPacketsLock());
    return TimeMs([&] { repository.GenerateSyncSnapshot(entry); });
}

// The floor for a snapshot: copying its bytes once into fresh packet buffers.
double SnapshotBaseline(const CSyncEntry& entry)
{
    std::vector<std::vector<uint8_t>> copies;
    return TimeMs([&] {
        for (const CUDPBuffRef& packet : entry.m_lstPackets) {
            copies.emplace_back(QVNET_StreamHeader::kMaxSize);
            std::memcpy(copies.back().data(), packet->GetData(), packet->GetSize());
        }
    });
}

double Burst(CObjectsRepository& repository)
{
    const uint32_t count = repository.GetObjectCount();
    CAutoLock lock(repository.GetObjectsLock());
    return TimeMs([&] {
        for (int i = 0; i < kBurstSteps; ++i) {
            CRepositoryObject& object = repository.FindObject(std::rand() % (count - 1) + 1);
            const char* value = RandomName();
            object.SetProperty(repository.GetPropertyId(RandomName()), value);
            repository.GetObjectsLock().Unlock();
        }
    });
}

double BurstBaseline(PlainObjects& objects, std::map<std::string, uint64_t>& propertyIds)
{
    return TimeMs([&] {
        for (int i = 0; i < kBurstSteps; ++i) {
            CRepositoryObject& object = objects.at(std::rand() % (objects.size() - 1) + 1);
            const char* value = RandomName();
            const uint64_t propertyId = propertyIds.try_emplace(RandomName(), propertyIds.size() + 1).first->second;
            if (object.HasProperty(propertyId))
                object.ChangeProperty(propertyId, value);
            else
                object.InsertProperty(propertyId, value);
        }
    });
}

void WritePackets(const CSyncEntry& entry, const char* fileName)
{
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    for (const CUDPBuffRef& packet : entry.m_lstPackets) {
        uint8_t length[4];
        StoreU32LE(length, packet->GetSize());
        file.write(reinterpret_cast<const char*>(length), sizeof length);
        file.write(reinterpret_cast<const char*>(packet->GetData()), packet->GetSize());
    }
}

} // namespace

int main(int argc, char** argv)
{
    const char* snapshotFile = argc > 1 ? argv[1] : "store_snapshot.bin";
    std::srand(1);
    std::vector<std::string> names, types;
    for (int i = 0; i < kObjects; ++i) {
        names.push_back(FormatString("obj_%I64u", static_cast<unsigned long long>(i)));
        types.push_back(RandomName());
    }
    const uint64_t residentBefore = platform::GetResidentMemoryBytes();

    CBenchStreamCore core;
    CObjectsRepository repository(core);
    const double createMs = CreateObjects(repository, names, types);
    AddProperties(repository);
    const uint64_t residentStore = platform::GetResidentMemoryBytes();
    PlainObjects plain;
    PrintFigure("CreateObject x 80000", createMs, CreateBaseline(names, types, plain), 300);
    PrintResident("server store (80000 objects, 30000 with 3 properties)", residentStore - residentBefore);

    std::vector<double> snapshotMs;
    CSyncEntry entry;
    for (int run = 0; run < kRuns; ++run) {
        entry = CSyncEntry();
        snapshotMs.push_back(GenerateSnapshot(repository, core, entry));
    }
    PrintFigure("GenerateSyncSnapshot (median of 5)", Median(snapshotMs), SnapshotBaseline(entry), 50);
    std::printf("  snapshot: %zu packets\n", entry.m_lstPackets.size());

    std::map<std::string, uint64_t> propertyIds;
    std::vector<double> burstMs, baselineMs;
    for (int run = 0; run < 10; ++run) {
        burstMs.push_back(Burst(repository));
        baselineMs.push_back(BurstBaseline(plain, propertyIds));
    }
    repository.FlushStream();
    PrintFigure("burst of 1000 change steps (median of 10)", Median(burstMs), Median(baselineMs), 3);

    WritePackets(entry, snapshotFile);
    std::fflush(stdout); // the client benchmark prints after these lines
    const std::string client = std::string(CLIENT_BENCH_PATH) + " " + snapshotFile;
    return std::system(client.c_str()) == 0 ? 0 : 1;
}
