#include "CWindowSettings.h"

#include "CAppSettings.h"
#include "CClientInfra.h"
#include "CInetHeaderParser.h"

std::string CWindowSettings::FilePath()
{
    return CAppSettings::PathIn(CClientInfra::GetInstance(nullptr)->GetSubDir(CClientInfra::SUBDIR_CONFIG));
}

void CWindowSettings::Load()
{
    const std::string path = FilePath();
    CAppSettings::Load(path, m_port, m_folder);
    m_peerRules = CPeerRules::Load(path);
}

void CWindowSettings::Save(const std::string& port, const std::string& folder)
{
    Save(port, folder, m_peerRules);
}

void CWindowSettings::Save(const std::string& port, const std::string& folder,
                           const CPeerRules::Settings& rules)
{
    m_port = port;
    m_folder = folder;
    m_peerRules = rules;
    const std::string path = FilePath();
    CInetHeaderParser parser(true);
    parser.AddHeader("IPPort", port);
    parser.AddHeader("BackupDataBasePath", folder);
    CPeerRules::AddTo(rules, parser);
    // Everything else in the file (the Servers view's warning days, headers of a newer
    // version) is kept as it was.
    CInetHeaderParser current(path, true);
    if (current.IsLoaded()) {
        for (const auto& [name, parms] : current.Headers()) {
            if (name == "IPPort" || name == "BackupDataBasePath" || CPeerRules::IsOwnHeader(name))
                continue;
            std::string value;
            current.GetParmValue(name, name, value);
            parser.AddHeader(name, value);
        }
    }
    parser.Save(path);
}

int CWindowSettings::PortNumber() const
{
    return CAppSettings::PortValue(m_port);
}
