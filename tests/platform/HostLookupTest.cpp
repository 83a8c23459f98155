#include "platform/DebugOutput.h"
#include "platform/HostLookup.h"
#include "platform/SocketError.h"
#include "Subsidiary/NetErrors.h"
#include "support/Ipv4.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>


namespace {

TEST(HostLookupTest, DottedTextIsTakenAsItStandsAndNamesAreResolved)
{
    struct Case {
        const char* host;
        uint32_t address;
    };
    for (const Case& c : {Case{"10.1", Ipv4(10, 0, 0, 1)}, Case{"192.168.7.9", Ipv4(192, 168, 7, 9)},
                          Case{"localhost", Ipv4(127, 0, 0, 1)}}) {
        uint32_t address = 0;
        EXPECT_TRUE(platform::LookupHostIPv4(c.host, &address)) << c.host;
        EXPECT_EQ(address, c.address) << c.host;
    }
}

TEST(HostLookupTest, AnUnknownNameFailsWithAResolverNumber)
{
    uint32_t address = 0;
    ASSERT_FALSE(platform::LookupHostIPv4("no-such-host.invalid", &address));
    const int error = platform::GetLastSocketError();
    EXPECT_TRUE(error >= 11001 && error <= 11004) << error;
}

// The client's connection tries a failed lookup again only when its code is
// EIOCPE_WSANO_DATA: a name known without an IPv4 address (yet).
TEST(DebugOutputTest, EachCallIsOneLineOnStandardError)
{
    CStdoutCapture capture(STDERR_FILENO);
    platform::OutputDebugText("connect failed!\n");
    platform::OutputDebugText("no line break");
    EXPECT_EQ(capture.Take(), "connect failed!\nno line break\n");
}

} // namespace
