#include "CAppSettings.h"

#include <algorithm>

#include "CInetHeaderParser.h"
#include "Platform.h"

std::string CAppSettings::PathIn(const std::string& configDirectory)
{
    return configDirectory + "/" + kFileName;
}

std::string CAppSettings::DefaultFolder()
{
    return hl::Os().HomeDirectory() + "/HarborlockBackups";
}

bool CAppSettings::Load(const std::string& path, std::string& port, std::string& folder)
{
    CInetHeaderParser parser(path, true);
    port.clear();
    folder.clear();
    if (parser.IsLoaded()) {
        parser.GetParmValue("IPPort", "IPPort", port);
        parser.GetParmValue("BackupDataBasePath", "BackupDataBasePath", folder);
        return true;
    }
    port = kDefaultPort;
    folder = DefaultFolder();
    Save(path, port, folder);
    return false;
}

bool CAppSettings::Save(const std::string& path, const std::string& port, const std::string& folder)
{
    CInetHeaderParser parser(true);
    parser.AddHeader("IPPort", port);
    parser.AddHeader("BackupDataBasePath", folder);
    return parser.Save(path);
}

int CAppSettings::PortValue(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(value * 10 + (text[i] - '0'), 1000000L);
    return static_cast<int>(value);
}
