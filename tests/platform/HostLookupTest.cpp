#include "platform/DebugOutput.h"
#include "platform/HostLookup.h"
#include "platform/SocketError.h"
#include "platform/linux/ResolverError.h"
#include "Subsidiary/NetErrors.h"
#include "support/Ipv4.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>

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
TEST(HostLookupTest, ResolverFailuresMapToTheCodeThatDecidesTheRetry)
{
    const struct {
        const char* name;
        int code, errnoValue;
        uint32_t expected;
    } cases[] = {
        {"EAI_NONAME", EAI_NONAME, 0, EIOCPE_WSAHOST_NOT_FOUND},
        {"EAI_AGAIN", EAI_AGAIN, 0, EIOCPE_WSATRY_AGAIN},
        {"EAI_FAIL", EAI_FAIL, 0, EIOCPE_WSANO_RECOVERY},
        {"EAI_NODATA", EAI_NODATA, 0, EIOCPE_WSANO_DATA},
        {"EAI_ADDRFAMILY", EAI_ADDRFAMILY, 0, EIOCPE_WSANO_DATA},
        {"EAI_MEMORY", EAI_MEMORY, 0, EIOCPE_WSA_NOT_ENOUGH_MEMORY},
        {"EAI_SYSTEM", EAI_SYSTEM, ECONNREFUSED, EIOCPE_WSAECONNREFUSED},
        {"EAI_SERVICE", EAI_SERVICE, 0, EIOCPE_WSANO_RECOVERY},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TranslateSystemError(static_cast<uint32_t>(
                      platform::linux_detail::WinsockErrorFromResolver(c.code, c.errnoValue))),
                  c.expected)
            << c.name;
}

TEST(DebugOutputTest, EachCallIsOneLineOnStandardError)
{
    CStdoutCapture capture(STDERR_FILENO);
    platform::OutputDebugText("connect failed!\n");
    platform::OutputDebugText("no line break");
    EXPECT_EQ(capture.Take(), "connect failed!\nno line break\n");
}

} // namespace
