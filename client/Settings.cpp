#include "client/Settings.h"

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
    m_nServerPort = GetInt(SETTINGS_SECTION, "ServerPort", 5555);
    std::string multicastText;
    return ReadAddressSetting(*this, "MulticastAddr", false, m_nMulticastAddr, multicastText) &&
           ReadAddressSetting(*this, "ServerAddr", true, m_nServerAddr, m_strServerAddr);
}
