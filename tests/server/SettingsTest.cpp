#include "server/Settings.h"
#include "Subsidiary/SettingsFile.h"
#include "platform/Process.h"
#include "support/Ipv4.h"
#include "support/SettingsText.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

TEST(ServerSettingsTest, ReadsEveryKey)
{
    CSettings settings;
    EXPECT_EQ(LoadSettingsText(settings,
                              "; server\n"
                              "[SERVER]\n"
                              "MaxClientConnections = 20\n"
                              "ServerPort = 777\n"
                              "NumberOfThreads = 0\n"
                              "MulticastAddr = 239.255.0.1\n"
                              "NetInterfaceAddr = 10.0.0.5\n",
                              true),
              "");
    EXPECT_EQ(settings.GetMaxClientConnections(), 20);
    EXPECT_EQ(settings.GetServerPort(), 777);
    EXPECT_EQ(settings.GetNumberOfThreads(), 0);
    EXPECT_EQ(settings.GetMulticastAddr(), Ipv4(239, 255, 0, 1));
    EXPECT_EQ(settings.GetNetInterfaceAddr(), Ipv4(10, 0, 0, 5));
}

TEST(ServerSettingsTest, MissingKeysTakeTheirDefaults)
{
    CSettings settings;
    EXPECT_EQ(LoadSettingsText(settings, "[SERVER]\nMulticastAddr=239.1.1.1 # group\n", true), "");
    EXPECT_EQ(settings.GetMaxClientConnections(), 50);
    EXPECT_EQ(settings.GetServerPort(), 6666);
    EXPECT_EQ(settings.GetNumberOfThreads(), 6);
    EXPECT_EQ(settings.GetMulticastAddr(), Ipv4(239, 1, 1, 1));
    EXPECT_EQ(settings.GetNetInterfaceAddr(), Ipv4(127, 0, 0, 1));
}

TEST(ServerSettingsTest, InvalidAddressesStopTheLoadWithOneMessage)
{
    CSettings settings;
    // The default "localhost" is no group address; the first failure is the only message.
    EXPECT_EQ(LoadSettingsText(settings, "[SERVER]\nNetInterfaceAddr=myhost\n", false),
              "Invalid 'MulticastAddr' in section 'SERVER'!\r\n");
    EXPECT_EQ(LoadSettingsText(settings, "[server]\nMulticastAddr=239.1.1.1\n", false),
              "Invalid 'MulticastAddr' in section 'SERVER'!\r\n");
    EXPECT_EQ(LoadSettingsText(settings, "[SERVER]\nMulticastAddr=239.1.1.1\nNetInterfaceAddr=myhost\n", false),
              "Invalid 'NetInterfaceAddr' in section 'SERVER'!\r\n");
    EXPECT_EQ(LoadSettingsText(settings, "[SERVER]\nMulticastAddr=239.1.1.1\nNetInterfaceAddr=LOCALHOST\n", true), "");
    EXPECT_EQ(settings.GetNetInterfaceAddr(), Ipv4(127, 0, 0, 1));
    // 255.255.255.255 stands for any address; it must not be taken for a failed conversion.
    EXPECT_EQ(LoadSettingsText(settings, "[SERVER]\nMulticastAddr=239.1.1.1\nNetInterfaceAddr=255.255.255.255\n", true),
              "");
    EXPECT_EQ(settings.GetNetInterfaceAddr(), Ipv4(255, 255, 255, 255));
}

TEST(ServerSettingsTest, MissingFileIsNamedInTheMessage)
{
    CSettings settings;
    CStdoutCapture capture;
    EXPECT_FALSE(settings.LoadFrom("/nonexistent/QV_Server.ini"));
    EXPECT_EQ(capture.Take(), "Unable to open settings file : /nonexistent/QV_Server.ini\r\n");
}

TEST(ServerSettingsTest, LoadReadsTheFileBesideTheProgram)
{
    const std::string fileName = MakeSettingsFileName(platform::GetExecutablePath());
    ASSERT_EQ(std::filesystem::path(fileName).filename(), "server_tests.ini");
    std::ofstream(fileName) << "[SERVER]\nServerPort=4321\nMulticastAddr=239.255.0.1\n";
    CSettings settings;
    const bool loaded = settings.Load();
    std::filesystem::remove(fileName);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(settings.GetFileName(), fileName);
    EXPECT_EQ(settings.GetServerPort(), 4321);
}

TEST(ServerSettingsTest, SampleFileBesideTheProgramsMakesALocalInstallation)
{
    CSettings settings;
    CStdoutCapture capture;
    ASSERT_TRUE(settings.LoadFrom(QV_SAMPLE_SETTINGS)) << capture.Take();
    EXPECT_EQ(settings.GetServerPort(), 6666);
    EXPECT_EQ(settings.GetMulticastAddr(), Ipv4(239, 255, 0, 1));
    EXPECT_EQ(settings.GetNetInterfaceAddr(), Ipv4(127, 0, 0, 1));
    EXPECT_EQ(settings.GetMaxClientConnections(), 50);
    EXPECT_EQ(settings.GetNumberOfThreads(), 6);
}
