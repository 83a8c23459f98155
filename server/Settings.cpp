#include "server/Settings.h"

#include "Subsidiary/SettingsFile.h"

bool CSettings::Load()
{
    const std::string fileName = LocateSettingsFile();
    return !fileName.empty() && LoadFrom(fileName);
}

bool CSettings::LoadFrom(const std::string& fileName)
{
    m_strFileName = fileName;
    if (!OpenSettingsFile(*this, m_strFileName))
        return false;
    m_nMaxClientConnections = GetInt(SETTINGS_SECTION, "MaxClientConnections", 50);
    m_nServerPort = GetInt(SETTINGS_SECTION, "ServerPort", 6666);
    m_nNumberOfThreads = GetInt(SETTINGS_SECTION, "NumberOfThreads", 6);
    std::string text;
    return ReadAddressSetting(*this, "MulticastAddr", false, m_nMulticastAddr, text) &&
           ReadAddressSetting(*this, "NetInterfaceAddr", true, m_nNetInterfaceAddr, text);
}
