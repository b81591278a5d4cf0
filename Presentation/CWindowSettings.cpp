#include "CWindowSettings.h"

#include "CAppSettings.h"
#include "CClientInfra.h"
#include "CInetHeaderParser.h"
#include "CServerWatchSettings.h"

std::string CWindowSettings::FilePath()
{
    return CAppSettings::PathIn(CClientInfra::GetInstance(nullptr)->GetSubDir(CClientInfra::SUBDIR_CONFIG));
}

void CWindowSettings::Load()
{
    CAppSettings::Load(FilePath(), m_port, m_folder);
}

void CWindowSettings::Save(const std::string &port, const std::string &folder)
{
    m_port = port;
    m_folder = folder;
    const std::string path = FilePath();
    CInetHeaderParser parser(true);
    parser.AddHeader("IPPort", port);
    parser.AddHeader("BackupDataBasePath", folder);
    // The file also holds the Servers view's warning days: a rewrite keeps them.
    CServerWatchSettings::CarryOver(path, parser);
    parser.Save(path);
}

int CWindowSettings::PortNumber() const
{
    return CAppSettings::PortValue(m_port);
}
