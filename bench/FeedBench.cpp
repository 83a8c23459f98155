// The data feed's two kinds of work through the real store with the lock monitor watching:
// the initial population of 80000 objects and one burst of 1000 change steps, each against a
// baseline of the same work done on bare standard maps in the same run. The stream goes to a
// core that only counts packets and bytes.

#include "bench/CountingStreamCore.h"
#include "bench/store/BenchTimer.h"
#include "server/DataFeed.h"
#include "store/server/ObjectsRepository.h"
#include "Subsidiary/DBGMonitor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kPopulationRounds = 5;
constexpr int kBursts = 200;
constexpr uint64_t kObjects = 80000;
constexpr int kStepsPerBurst = 1000;
constexpr double kPopulationBudgetMs = 400.0;
constexpr double kBurstBudgetMs = 3.0;

class CBenchFeed : public CDataFeed {
public:
    using CDataFeed::CDataFeed;
    using CDataFeed::FeedInitialData;
    using CDataFeed::FeedSomeData;
};

// The baseline store: an object is a name and its properties, with no lock and no records.
struct BareObject {
    std::string type;
    std::string name;
    std::map<uint64_t, std::string> properties;
};
struct BareStore {
    std::map<uint64_t, BareObject> objects;
    std::map<std::string, uint64_t> names;
    std::map<std::string, uint64_t> propertyIds;
};

void BarePopulate(BareStore& store)
{
    for (uint64_t id = 1; id <= kObjects; ++id) {
        std::string name = "obj_" + std::to_string(id - 1);
        store.names.emplace(name, id);
        store.objects.emplace(id, BareObject{std::to_string(std::rand() % 42), std::move(name), {}});
    }
}

void BareBurst(BareStore& store)
{
    for (int step = 0; step < kStepsPerBurst; ++step) {
        std::rand();
        const uint64_t id = static_cast<uint64_t>(std::rand() % 32768) % (store.objects.size() - 1) + 1;
        BareObject& object = store.objects.at(id);
        std::string value = std::to_string(std::rand() % 42);
        const std::string property = std::to_string(std::rand() % 42);
        const uint64_t propertyId = store.propertyIds.emplace(property, store.propertyIds.size() + 1).first->second;
        object.properties[propertyId] = std::move(value);
    }
}

void RunBench()
{
    std::vector<double> population, barePopulation;
    for (int round = 0; round < kPopulationRounds; ++round) {
        CCountingStreamCore core;
        CObjectsRepository repository(core);
        CBenchFeed feed(repository);
        population.push_back(TimeMs([&] { feed.FeedInitialData(); }));
        BareStore bare;
        barePopulation.push_back(TimeMs([&] { BarePopulate(bare); }));
    }

    CCountingStreamCore core;
    CObjectsRepository repository(core);
    CBenchFeed feed(repository);
    feed.FeedInitialData();
    BareStore bare;
    BarePopulate(bare);
    const uint64_t packetsBefore = core.GetPackets();
    const uint64_t bytesBefore = core.GetBytes();
    std::vector<double> bursts, bareBursts;
    for (int burst = 0; burst < kBursts; ++burst) {
        bursts.push_back(TimeMs([&] { feed.FeedSomeData(); }));
        bareBursts.push_back(TimeMs([&] { BareBurst(bare); }));
    }
    const double packets = static_cast<double>(core.GetPackets() - packetsBefore) / kBursts;
    const double bytes = static_cast<double>(core.GetBytes() - bytesBefore) / kBursts;

    std::printf("\nmedian of %d rounds:\n", kPopulationRounds);
    PrintFigure("population of 80000 objects", Median(population), Median(barePopulation), kPopulationBudgetMs);
    const auto [fastest, slowest] = std::minmax_element(bursts.begin(), bursts.end());
    std::printf("median of %d bursts (fastest %.3f ms, slowest %.3f ms):\n", kBursts, *fastest, *slowest);
    PrintFigure("burst of 1000 change steps", Median(bursts), Median(bareBursts), kBurstBudgetMs);
    std::printf("stream per burst: %.1f packets, %.0f bytes\n", packets, bytes);
}

} // namespace

int main()
{
    // Registered like the feed's own thread, so that every lock is watched as in the server.
    CDBGMonitor::ThreadStarted("FeedBench");
    std::srand(1);
    RunBench();
    CDBGMonitor::ThreadStopped();
    return 0;
}
