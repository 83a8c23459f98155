// Change-to-client latency: from SetProperty on the server to the change applied by a
// synchronised QV_Client, over 30,000 changes made at the feed's rate (bursts of 1000 changes,
// 100 ms apart) on the fed store. The server runs in this process, so that the time of every
// change is known; each change carries its own number as its value, and the packet it went out
// in is read back as the packet is sent. The client is the program, and a packet counts as
// applied when the client prints its "." (right before it applies it; the output is looked at
// every 0.2 ms). Reference in the same run: the time from SetProperty to the packet leaving
// the server, whose ceiling is the store's 50 ms flush period, and the client's own share,
// from the packet leaving to its application.
// Run inside the test namespace: scripts/netns-run build/bench/client_latency_bench

#include "net/common/QVNET_SeqPkt.h"
#include "net/server/IIOCP_Server.h"
#include "platform/BrokenPipe.h"
#include "server/QV_Server.h"
#include "server/Settings.h"
#include "store/ChangeRecords.h"
#include "Subsidiary/ByteReader.h"
#include "Subsidiary/DBGMonitor.h"
#include "support/ClientProgram.h"
#include "support/ProgramRun.h"
#include "support/ServerProgram.h"
#include "support/TempFile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBursts = 30;
constexpr int kChangesPerBurst = 1000;
constexpr auto kBurstPeriod = 100ms;
constexpr auto kLimit = 60s;
constexpr char kValueMark = 'L'; // the value of change n is "L<n>"
const char* const kProperties[] = {"Kale", "Okra", "Leek", "Chard", "Cress", "Sorrel", "Endive"};

// The server, with every stream packet read back as it goes out: which numbered changes it
// carries, under which sequence number, and when it left.
class CLatencyServer : public CQV_Server {
public:
    using CQV_Server::CQV_Server;

    void SendStreamPacket(CUDPBuff& packet) override
    {
        const uint64_t seq = GetNextStreamSeq(); // stamped in this call; the objects lock keeps senders apart
        std::vector<uint32_t> changes = ChangesIn(packet.GetData(), packet.GetSize());
        CQV_Server::SendStreamPacket(packet);
        const Clock::time_point sent = Clock::now();
        std::lock_guard guard(m_Mutex);
        for (const uint32_t change : changes)
            m_mapChangeSeq[change] = {seq, sent};
    }

    struct SSent {
        uint64_t nSeq;
        Clock::time_point at;
    };
    std::map<uint32_t, SSent> Sent()
    {
        std::lock_guard guard(m_Mutex);
        return m_mapChangeSeq;
    }

private:
    // The numbers of the bench's changes among the packet's records; the walk ends at the
    // first record of another kind (the population's, or the feed's completion).
    static std::vector<uint32_t> ChangesIn(const uint8_t* packet, uint32_t size)
    {
        std::vector<uint32_t> changes;
        CByteReader reader(packet + QVNET_StreamHeader::kSize, size - QVNET_StreamHeader::kSize);
        try {
            while (!reader.AtEnd()) {
                const uint8_t token = reader.GetU8();
                if (token == OREC_PROP_DEF) {
                    reader.GetU64();
                    reader.GetString();
                } else if (token == OREC_PROP_ADD || token == OREC_PROP_CHANGE) {
                    reader.GetU64();
                    reader.GetU64();
                    const std::string value = reader.GetString();
                    // The feed's own values are names; some of them begin with the mark too.
                    if (value.size() > 1 && value[0] == kValueMark &&
                        value.find_first_not_of("0123456789", 1) == std::string::npos)
                        changes.push_back(static_cast<uint32_t>(std::stoul(value.substr(1))));
                } else {
                    break;
                }
            }
        } catch (const std::exception&) {
        }
        return changes;
    }

    std::mutex m_Mutex;
    std::map<uint32_t, SSent> m_mapChangeSeq; // guarded by m_Mutex
};

// The times at which the client printed its "." marks after `from`, one per applied packet,
// watched on a thread of its own; the marks inside log lines are skipped.
class CAppliedMarks {
public:
    CAppliedMarks(CProgramRun& client, size_t from)
        : m_Watch([this, &client, from] {
              size_t seen = from;
              bool inLine = false;
              while (!m_bStop) {
                  const std::string output = client.Output();
                  const Clock::time_point now = Clock::now();
                  for (; seen < output.size(); ++seen) {
                      const char c = output[seen];
                      if (c == '[')
                          inLine = true;
                      else if (c == '\n')
                          inLine = false;
                      else if (c == '.' && !inLine)
                          m_vecTimes.push_back(now);
                  }
                  std::this_thread::sleep_for(200us);
              }
          })
    {
    }
    ~CAppliedMarks() { Stop(); }

    const std::vector<Clock::time_point>& Stop()
    {
        m_bStop = true;
        if (m_Watch.joinable())
            m_Watch.join();
        return m_vecTimes;
    }

private:
    std::atomic<bool> m_bStop{false};
    std::vector<Clock::time_point> m_vecTimes;
    std::thread m_Watch;
};

double Percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())))];
}

// Bursts at the feed's rate; the time of every change.
std::vector<Clock::time_point> MakeChanges(CObjectsRepository& store)
{
    std::vector<Clock::time_point> times;
    uint32_t next = 0;
    for (int burst = 0; burst < kBursts; ++burst) {
        {
            CAutoLock lock(store.GetObjectsLock());
            for (int step = 0; step < kChangesPerBurst; ++step, ++next) {
                CRepositoryObject& object = store.FindObject(1 + std::rand() % 32767);
                store.GetObjectsLock().Unlock(); // FindObject leaves it held once more
                const uint64_t property = store.GetPropertyId(kProperties[std::rand() % std::size(kProperties)]);
                times.push_back(Clock::now());
                object.SetProperty(property, kValueMark + std::to_string(next));
            }
        }
        std::this_thread::sleep_for(kBurstPeriod);
    }
    return times;
}

int RunBench()
{
    const CTestEndpoint endpoint = NextTestEndpoint();
    CTempFile settingsFile(ServerSettingsText(endpoint));
    CSettings settings;
    if (!settings.LoadFrom(settingsFile.Path()))
        return 1;
    CLatencyServer server(settings, [](int32_t port, uint32_t address, int32_t workers, int32_t slots,
                                       IIOCP_ConnHandler* handler, uint32_t* error) {
        return CreateIOCPServer(port, address, workers, slots, handler, error);
    });
    if (!server.Init() || server.Start() != 0)
        return 1;
    CObjectsRepository& store = server.GetRepository();
    server.GetDataFeed().Start(); // the population of 80,000 objects, then bursts until stopped
    const Clock::time_point deadline = Clock::now() + kLimit;
    while (store.GetObjectCount() < 80000 && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    server.GetDataFeed().Stop();

    CProgramRun client(QV_CLIENT_PATH, ClientSettingsText(endpoint));
    if (!client.WaitFor("Sync complete - objs : 80000!", kLimit)) {
        std::printf("the client did not synchronise:\n%s", client.Output().c_str());
        return 1;
    }
    std::this_thread::sleep_for(1s); // the store's first flush comes 1 s after its start
    const uint64_t firstSeq = server.GetNextStreamSeq(); // the first packet the client applies
    std::vector<Clock::time_point> changed;
    std::vector<Clock::time_point> applied;
    {
        CAppliedMarks marks(client, client.Output().size());
        changed = MakeChanges(store);
        std::this_thread::sleep_for(1s); // the last flush, and the client's last packets
        applied = marks.Stop();
    }
    client.Keys("q");
    client.WaitFor("Any key to exit.", kLimit);
    client.Keys("z");
    client.WaitForExit(kLimit);
    server.Stop();
    server.Deinit();

    const std::map<uint32_t, CLatencyServer::SSent> sent = server.Sent();
    std::vector<double> toSent, toApplied, sentToApplied;
    const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    for (const auto& [change, packet] : sent) {
        if (change >= changed.size() || packet.nSeq < firstSeq || packet.nSeq - firstSeq >= applied.size())
            continue;
        const Clock::time_point appliedAt = applied[packet.nSeq - firstSeq];
        toSent.push_back(ms(packet.at - changed[change]));
        toApplied.push_back(ms(appliedAt - changed[change]));
        sentToApplied.push_back(ms(appliedAt - packet.at));
    }
    std::printf("\n%zu changes made, %zu seen applied, in %zu packets\n", changed.size(), toApplied.size(),
                applied.size());
    if (toApplied.size() < changed.size() * 9 / 10) {
        std::printf("too few changes were seen applied\n");
        return 1;
    }
    for (const double share : {0.5, 0.99}) {
        const double total = Percentile(toApplied, share);
        std::printf("p%.0f change to applied on the client %7.2f ms  (change to packet sent %6.2f ms, packet sent to "
                    "applied %5.2f ms)  ceiling 50 ms  %s\n",
                    share * 100, total, Percentile(toSent, share), Percentile(sentToApplied, share),
                    total <= 50.0 ? "ok" : "OVER");
    }
    return 0;
}

} // namespace

int main()
{
    platform::IgnoreBrokenPipe();
    CDBGMonitor::ThreadStarted("main");
    std::srand(1);
    const int result = RunBench();
    CDBGMonitor::ThreadStopped();
    return result;
}
