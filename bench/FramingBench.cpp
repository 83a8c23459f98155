// The cost of one read full of the smallest frames: 51,200 bytes (one read of a server slot)
// of 10-byte frames appended to a receive archive and framed by the loop both ends run,
// against one memcpy of the same bytes, measured in the same run. The best of several rounds
// is reported, so that a round disturbed by other work on the machine does not count.

#include "net/common/SessionFraming.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kReadSize = 51200;
constexpr uint32_t kFrames = kReadSize / CSessionHeader::kSize;
constexpr int kReadsPerRound = 50;
constexpr int kRounds = 7;

template <class Step>
double BestMicrosecondsPerRead(Step step)
{
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kReadsPerRound; ++i)
            step();
        const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count() / kReadsPerRound);
    }
    return best;
}

} // namespace

int main()
{
    std::vector<uint8_t> read(kReadSize);
    for (uint32_t i = 0; i < kFrames; ++i)
        CSessionHeader::Write(read.data() + i * CSessionHeader::kSize, CSessionHeader::kSize, 9);

    std::vector<uint8_t> copy(kReadSize);
    volatile uint8_t sink = 0;
    const double memcpyUs = BestMicrosecondsPerRead([&] {
        std::memcpy(copy.data(), read.data(), kReadSize);
        sink = sink + copy[kReadSize - 1];
    });

    CNETArchive archive(500000);
    uint64_t handled = 0;
    bool intact = true;
    const double framingUs = BestMicrosecondsPerRead([&] {
        archive.Append(read.data(), kReadSize);
        const EFraming result = RunFramingLoop(archive, [&](const uint8_t* frame, uint32_t length) {
            handled += CSessionHeader::Read(frame).nCommand == 9 && length == CSessionHeader::kSize;
            return true;
        });
        intact = intact && result == EFraming::NeedMore && archive.GetCount() == 0;
    });
    if (!intact || handled != static_cast<uint64_t>(kFrames) * kReadsPerRound * kRounds) {
        std::printf("framing lost frames: %llu handled\n", static_cast<unsigned long long>(handled));
        return 1;
    }

    std::printf("%-52s %9.1f us\n", "memcpy of one 51,200-byte read", memcpyUs);
    std::printf("%-52s %9.1f us\n", "one 51,200-byte read of 10-byte frames, framed", framingUs);
    std::printf("%-52s %9.1f\n", "ratio framed / memcpy", framingUs / memcpyUs);
    return 0;
}
