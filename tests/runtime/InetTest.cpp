#include "platform/Inet.h"
#include "support/Ipv4.h"

#include <gtest/gtest.h>

TEST(InetTest, ConvertsDottedFormsAndStopsAtWhiteSpace)
{
    const std::pair<const char*, uint32_t> valid[] = {
        {"239.255.0.1", Ipv4(239, 255, 0, 1)},
        {"239.1.1.1 # group", Ipv4(239, 1, 1, 1)},
        {"10.1", Ipv4(10, 0, 0, 1)},
        {"192.168.257", Ipv4(192, 168, 1, 1)},
        {"0", Ipv4(0, 0, 0, 0)},
        {"255.255.255.255", Ipv4(255, 255, 255, 255)},
    };
    for (const auto& [text, expected] : valid) {
        uint32_t address = 0;
        EXPECT_TRUE(platform::ParseIPv4Address(text, address)) << text;
        EXPECT_EQ(address, expected) << text;
    }
}

TEST(InetTest, RefusesNamesAndMalformedAddresses)
{
    for (const char* text : {"", "localhost", "myhost", "256.1.1.1", "1.2.3.4.5", "1..2", "1.2.3.4x", " "}) {
        uint32_t address = 7;
        EXPECT_FALSE(platform::ParseIPv4Address(text, address)) << '"' << text << '"';
        EXPECT_EQ(address, 7u) << text;
    }
}

TEST(InetTest, LoopbackIsInNetworkOrder)
{
    EXPECT_EQ(platform::LoopbackIPv4Address(), Ipv4(127, 0, 0, 1));
}
