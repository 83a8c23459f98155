#include "Subsidiary/SettingsFile.h"
#include "support/Ipv4.h"
#include "support/StdoutCapture.h"
#include "support/TempFile.h"

#include <gtest/gtest.h>

TEST(SettingsFileNameTest, ReplacesTheExtensionOfTheFileNamePartOnly)
{
    EXPECT_EQ(MakeSettingsFileName("/opt/qv/QV_Server"), "/opt/qv/QV_Server.ini");
    EXPECT_EQ(MakeSettingsFileName("/x/a.b/prog"), "/x/a.b/prog.ini");
    EXPECT_EQ(MakeSettingsFileName("/x/a.b/prog.bin"), "/x/a.b/prog.ini");
    EXPECT_EQ(MakeSettingsFileName("/x/prog.tar.gz"), "/x/prog.tar.ini");
    EXPECT_EQ(MakeSettingsFileName("prog.exe"), "prog.ini");
    EXPECT_EQ(MakeSettingsFileName("prog"), "prog.ini");
    EXPECT_EQ(MakeSettingsFileName(""), "");
}

TEST(SettingsFileTest, OpenFailureNamesTheFile)
{
    CReadIni ini;
    CStdoutCapture capture;
    EXPECT_FALSE(OpenSettingsFile(ini, "/nonexistent/QV_Server.ini"));
    EXPECT_EQ(capture.Take(), "Unable to open settings file : /nonexistent/QV_Server.ini\r\n");
}

namespace {

struct AddressCase {
    const char* key;
    bool acceptLocalhost;
    bool valid;
    uint32_t address;
    const char* text;
};

} // namespace

TEST(SettingsFileTest, AddressKeysConvertOrPrintTheirMessage)
{
    CTempFile file("[SERVER]\n"
                   "Group=239.1.1.1 # the stream\n"
                   "Short=10.1\n"
                   "Broadcast=255.255.255.255\n"
                   "Local=LocalHost\n"
                   "Host=myhost\n");
    CReadIni ini;
    ASSERT_TRUE(ini.Open(file.Path()));
    const AddressCase cases[] = {
        {"Group", false, true, Ipv4(239, 1, 1, 1), "239.1.1.1 # the stream"},
        {"Short", false, true, Ipv4(10, 0, 0, 1), "10.1"},
        {"Broadcast", true, true, Ipv4(255, 255, 255, 255), "255.255.255.255"},
        {"Local", true, true, Ipv4(127, 0, 0, 1), "LocalHost"},
        {"Absent", true, true, Ipv4(127, 0, 0, 1), "localhost"},
        {"Local", false, false, 0, "LocalHost"},
        {"Absent", false, false, 0, "localhost"},
        {"Host", true, false, 0, "myhost"},
    };
    for (const AddressCase& c : cases) {
        uint32_t address = 0;
        std::string text;
        CStdoutCapture capture;
        EXPECT_EQ(ReadAddressSetting(ini, c.key, c.acceptLocalhost, address, text), c.valid) << c.key;
        const std::string printed = capture.Take();
        EXPECT_EQ(text, c.text);
        if (c.valid) {
            EXPECT_EQ(address, c.address) << c.key;
            EXPECT_EQ(printed, "");
        } else {
            EXPECT_EQ(printed, std::string("Invalid '") + c.key + "' in section 'SERVER'!\r\n");
        }
    }
}
