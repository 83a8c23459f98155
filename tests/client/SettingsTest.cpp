#include "client/Settings.h"
#include "Subsidiary/SettingsFile.h"
#include "platform/Process.h"
#include "support/Ipv4.h"
#include "support/SettingsText.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

TEST(ClientSettingsTest, ReadsEveryKeyAndKeepsTheServerText)
{
    CSettings settings;
    EXPECT_EQ(LoadSettingsText(settings,
                              "[SERVER]\n"
                              "ServerPort=6666\n"
                              "MulticastAddr=239.255.0.1\n"
                              "ServerAddr=192.168.1.20\n",
                              true),
              "");
    EXPECT_EQ(settings.GetServerPort(), 6666);
    EXPECT_EQ(settings.GetMulticastAddr(), Ipv4(239, 255, 0, 1));
    EXPECT_EQ(settings.GetServerAddr(), Ipv4(192, 168, 1, 20));
    EXPECT_EQ(settings.GetServerAddrText(), "192.168.1.20");
}

TEST(ClientSettingsTest, MissingKeysTakeTheirDefaults)
{
    CSettings settings;
    EXPECT_EQ(LoadSettingsText(settings, "[SERVER]\nMulticastAddr=239.1.1.1\n", true), "");
    EXPECT_EQ(settings.GetServerPort(), 5555);
    EXPECT_EQ(settings.GetServerAddrText(), "localhost");
    EXPECT_EQ(settings.GetServerAddr(), Ipv4(127, 0, 0, 1));
}

TEST(ClientSettingsTest, InvalidAddressesStopTheLoadWithOneMessage)
{
    CSettings settings;
    EXPECT_EQ(LoadSettingsText(settings, "[SERVER]\nMulticastAddr=group\nServerAddr=myhost\n", false),
              "Invalid 'MulticastAddr' in section 'SERVER'!\r\n");
    EXPECT_EQ(LoadSettingsText(settings, "[SERVER]\nMulticastAddr=239.1.1.1\nServerAddr=myhost\n", false),
              "Invalid 'ServerAddr' in section 'SERVER'!\r\n");
    EXPECT_EQ(LoadSettingsText(settings, "[SERVER]\nMulticastAddr=239.1.1.1\nServerAddr=LocalHost\n", true), "");
    EXPECT_EQ(settings.GetServerAddrText(), "LocalHost");
    EXPECT_EQ(settings.GetServerAddr(), Ipv4(127, 0, 0, 1));
}

TEST(ClientSettingsTest, MissingFileIsNamedInTheMessage)
{
    CSettings settings;
    CStdoutCapture capture;
    EXPECT_FALSE(settings.LoadFrom("/nonexistent/QV_Client.ini"));
    EXPECT_EQ(capture.Take(), "Unable to open settings file : /nonexistent/QV_Client.ini\r\n");
}

TEST(ClientSettingsTest, LoadReadsTheFileBesideTheProgram)
{
    const std::string fileName = MakeSettingsFileName(platform::GetExecutablePath());
    ASSERT_EQ(std::filesystem::path(fileName).filename(), "client_tests.ini");
    std::ofstream(fileName) << "[SERVER]\nServerPort=4321\nMulticastAddr=239.255.0.1\nServerAddr=127.0.0.1\n";
    CSettings settings;
    const bool loaded = settings.Load();
    std::filesystem::remove(fileName);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(settings.GetFileName(), fileName);
    EXPECT_EQ(settings.GetServerPort(), 4321);
}

TEST(ClientSettingsTest, SampleFileBesideTheProgramsMakesALocalInstallation)
{
    CSettings settings;
    CStdoutCapture capture;
    ASSERT_TRUE(settings.LoadFrom(QV_SAMPLE_SETTINGS)) << capture.Take();
    EXPECT_EQ(settings.GetServerPort(), 6666);
    EXPECT_EQ(settings.GetMulticastAddr(), Ipv4(239, 255, 0, 1));
    EXPECT_EQ(settings.GetServerAddrText(), "localhost");
    EXPECT_EQ(settings.GetServerAddr(), Ipv4(127, 0, 0, 1));
}
