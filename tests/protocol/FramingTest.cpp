// The framing loop over one append that holds several frames: what is handled, in which
// order, and what stays in the archive for the next read or the log line.

#include "net/common/SessionFraming.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(const std::string& payload)
{
    Bytes frame(CSessionHeader::kSize + payload.size());
    CSessionHeader::Write(frame.data(), static_cast<uint32_t>(frame.size()), CMD_USER);
    std::copy(payload.begin(), payload.end(), frame.begin() + CSessionHeader::kSize);
    return frame;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(FramingTest, FramesOfOneReadAreHandledInOrderAndOnlyTheRestStays)
{
    const Bytes broken = {0x12, 0x34, 10, 0, 0, 0, 8, 0, 0, 0};
    const Bytes third = Frame("three");
    struct Case {
        const char* name;
        Bytes bytes;
        size_t closeAt; ///< the handler asks to close at this frame (1-based); 0: never
        EFraming result;
        std::vector<std::string> handled;
        Bytes left;
    };
    const Case cases[] = {
        {"whole frames and a partial one", Concat({Frame("one"), Frame("two"), Bytes(third.begin(), third.begin() + 12)}),
         0, EFraming::NeedMore, {"one", "two"}, Bytes(third.begin(), third.begin() + 12)},
        {"frames, then a bad magic", Concat({Frame("one"), Frame("two"), broken}), 0, EFraming::Broken, {"one", "two"},
         broken},
        {"the handler closes at the second", Concat({Frame("one"), Frame("two"), third}), 2, EFraming::Closed,
         {"one", "two"}, third},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CNETArchive archive(512);
        ASSERT_TRUE(archive.Append(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())));
        std::vector<std::string> handled;
        const EFraming result = RunFramingLoop(archive, [&](const uint8_t* frame, uint32_t length) {
            handled.emplace_back(reinterpret_cast<const char*>(frame) + CSessionHeader::kSize,
                                 length - CSessionHeader::kSize);
            return handled.size() != c.closeAt;
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(handled, c.handled);
        EXPECT_EQ(Bytes(archive.GetData(), archive.GetData() + archive.GetCount()), c.left);
    }
}

} // namespace
