#include "net/common/SessionFraming.h"

#include <cstdio>

std::string DescribeFrameStart(const uint8_t* data, uint32_t count)
{
    constexpr uint32_t kShown = 30;
    std::string text = "[ ";
    char hex[4];
    for (uint32_t i = 0; i < count && i < kShown; ++i) {
        std::snprintf(hex, sizeof hex, "%02X ", data[i]);
        text += hex;
    }
    text += "]";
    return text;
}

bool AppendFrame(CNETArchive& archive, uint32_t command, const void* payload, uint32_t length)
{
    if (length > UINT32_MAX - CSessionHeader::kSize)
        return false;
    const uint32_t total = CSessionHeader::kSize + length;
    if (archive.GetCapacity() - archive.GetCount() < total &&
        (archive.GetCount() > UINT32_MAX - total || !archive.Reserve(archive.GetCount() + total)))
        return false;
    CSessionHeader::Write(archive.GetData() + archive.GetCount(), total, command);
    archive.Commit(CSessionHeader::kSize);
    return archive.Append(payload, length);
}
