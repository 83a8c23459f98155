#include "net/server/IOCPStatisticsText.h"

#include "Subsidiary/Log.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kTopSlots = 5;

std::string FormatHardwareAddress(uint64_t address)
{
    return FormatString("%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>(address >> 40 & 0xFF),
                        static_cast<unsigned>(address >> 32 & 0xFF), static_cast<unsigned>(address >> 24 & 0xFF),
                        static_cast<unsigned>(address >> 16 & 0xFF), static_cast<unsigned>(address >> 8 & 0xFF),
                        static_cast<unsigned>(address & 0xFF));
}

void AppendRecord(std::string& text, const CIOCPClientStats& r)
{
    text += FormatString("state : %s, ip : %s, type : %d, mac : %s, bs : %I64u, br : %I64u\r\n", r.strState.c_str(),
                         r.strPeerAddress.c_str(), static_cast<int>(r.nClientType),
                         FormatHardwareAddress(r.nHardwareAddress).c_str(),
                         static_cast<unsigned long long>(r.nBytesSent),
                         static_cast<unsigned long long>(r.nBytesReceived));
    text += FormatString("\tBuffers : InA : %u, InU : %u, OutA : %u, OutU : %u\r\n\r\n", r.nReceiveAllocated,
                         r.nReceiveUsed, r.nSendAllocated, r.nSendUsed);
}

uint64_t Allocated(const CIOCPClientStats& r)
{
    return static_cast<uint64_t>(r.nReceiveAllocated) + r.nSendAllocated;
}

} // namespace

std::string FormatStatisticsText(std::vector<CIOCPClientStats> slots, const std::vector<CIOCPClientStats>& stuck)
{
    unsigned long long inAllocated = 0, outAllocated = 0, inUsed = 0, outUsed = 0;
    for (const CIOCPClientStats& r : slots) {
        inAllocated += r.nReceiveAllocated;
        outAllocated += r.nSendAllocated;
        inUsed += r.nReceiveUsed;
        outUsed += r.nSendUsed;
    }
    std::stable_sort(slots.begin(), slots.end(),
                     [](const CIOCPClientStats& a, const CIOCPClientStats& b) { return Allocated(a) > Allocated(b); });
    std::string text = FormatString("Total In allocated : %llu\r\nTotal Out allocated : %llu\r\n", inAllocated,
                                    outAllocated);
    text += FormatString("Total In used : %llu\r\nTotal Out used : %llu\r\n", inUsed, outUsed);
    text += "\r\nTop mem used clients :\r\n";
    for (size_t i = 0; i < slots.size() && i < kTopSlots; ++i)
        AppendRecord(text, slots[i]);
    text += "\r\nSend stuck dropped clients :\r\n";
    for (const CIOCPClientStats& r : stuck)
        AppendRecord(text, r);
    if (stuck.empty())
        text += "<none>\r\n";
    return text;
}

void CopyTruncated(const std::string& text, char* buffer, uint32_t size)
{
    if (size == 0)
        return;
    const size_t length = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}
