#include "CSetupBootstrapper.h"

#include "OS_CSetupPlatform.h"

#include <utility>

#ifndef HL_SETUP_PRODUCT_NAME
#define HL_SETUP_PRODUCT_NAME "Harborlock"
#endif

namespace {
const std::string kWindowTitle = std::string(HL_SETUP_PRODUCT_NAME) + " Setup";
// The error box carries the system's default caption.
const std::string kErrorCaption = "Error";

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}
} // namespace

CSetupBootstrapper::CSetupBootstrapper(std::string payloadPath, std::vector<std::string> args)
    : m_payloadPath(std::move(payloadPath)), m_args(std::move(args))
{}

const char* CSetupBootstrapper::MessageFor(CSetupArchive::EResult result)
{
    switch (result) {
    case CSetupArchive::EResult::Ok: return "";
    case CSetupArchive::EResult::ReadError: return kMsgReadError;
    case CSetupArchive::EResult::Corrupted: return kMsgCorrupted;
    // A payload asking for features this stub lacks is as unusable as one of
    // another version.
    case CSetupArchive::EResult::UnsupportedVersion:
    case CSetupArchive::EResult::Unsupported: return kMsgBadVersion;
    }
    return kMsgExtractError;
}

bool CSetupBootstrapper::ParseExtractFolder(const std::vector<std::string>& args, std::string& folder)
{
    if (args.empty())
        return false;
    // Rebuild the command line as one string: a quoted folder with spaces may
    // arrive whole or split into words, depending on who started us.
    std::string line = args[0];
    for (std::size_t i = 1; i < args.size(); ++i)
        line += " " + args[i];
    const std::string option = kExtractOption;
    if (line.compare(0, option.size(), option) != 0)
        return false;
    std::string rest = line.substr(option.size());
    if (!rest.empty() && rest.front() == '"') {
        const auto close = rest.find('"', 1);
        rest = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    folder = rest;
    return true;
}

int CSetupBootstrapper::Run()
{
    std::string folder;
    if (ParseExtractFolder(m_args, folder))
        return RunExtract(folder);
    return RunInstall();
}

void CSetupBootstrapper::ShowError(const std::string& text) const
{
    OS_CSetupPlatform::WriteStderr(text + "\n");
    if (OS_CSetupPlatform::HasTerminal() || !OS_CSetupPlatform::HasDisplay())
        return;
    // Started from a file manager: stderr goes nowhere the user looks.
    if (auto tool = OS_CSetupPlatform::FindInPath("zenity"); !tool.empty()) {
        OS_CSetupPlatform::RunAndWait(
            {tool, "--error", "--no-markup", "--title=" + kErrorCaption, "--text=" + text});
    } else if (tool = OS_CSetupPlatform::FindInPath("kdialog"); !tool.empty()) {
        OS_CSetupPlatform::RunAndWait({tool, "--title", kErrorCaption, "--error", text});
    } else if (tool = OS_CSetupPlatform::FindInPath("xmessage"); !tool.empty()) {
        OS_CSetupPlatform::RunAndWait({tool, "-center", "-title", kErrorCaption, "-buttons", "OK", text});
    } else if (tool = OS_CSetupPlatform::FindInPath("notify-send"); !tool.empty()) {
        OS_CSetupPlatform::RunAndWait({tool, "--urgency=critical", kWindowTitle, text});
    }
}

long CSetupBootstrapper::ShowPreparation() const
{
    if (OS_CSetupPlatform::HasTerminal() || !OS_CSetupPlatform::HasDisplay()) {
        OS_CSetupPlatform::WriteStderr(std::string(kMsgExtracting) + "\n");
        return -1;
    }
    if (auto tool = OS_CSetupPlatform::FindInPath("zenity"); !tool.empty())
        return OS_CSetupPlatform::Start({tool, "--progress", "--pulsate", "--no-cancel",
                                         "--title=" + kWindowTitle, std::string("--text=") + kMsgExtracting});
    if (auto tool = OS_CSetupPlatform::FindInPath("xmessage"); !tool.empty())
        return OS_CSetupPlatform::Start(
            {tool, "-center", "-title", kWindowTitle, "-buttons", "", kMsgExtracting});
    return -1;
}

bool CSetupBootstrapper::UnpackAll(const std::string& folder)
{
    const auto& entries = m_archive.GetEntries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!CSetupArchive::IsUnpacked(entries[i].type))
            continue;
        const std::string path = JoinPath(folder, entries[i].name);
        if (!m_archive.Extract(i, path))
            return false;
        m_unpacked.push_back(path);
    }
    return true;
}

void CSetupBootstrapper::RemoveUnpacked()
{
    for (const auto& path : m_unpacked)
        OS_CSetupPlatform::RemoveFile(path);
    m_unpacked.clear();
}

int CSetupBootstrapper::RunExtract(const std::string& folder)
{
    if (folder.empty()) {
        ShowError(kMsgExtractError);
        return kExitFailure;
    }
    if (const auto result = m_archive.Open(m_payloadPath); result != CSetupArchive::EResult::Ok) {
        ShowError(MessageFor(result));
        return kExitFailure;
    }
    if (!OS_CSetupPlatform::MakeDirs(folder) || !UnpackAll(folder)) {
        ShowError(kMsgExtractError);
        return kExitFailure;
    }
    return 0; // the files stay where the user asked for them
}

int CSetupBootstrapper::RunInstall()
{
    if (m_payloadPath.empty()) {
        ShowError(kMsgExtractError);
        return kExitFailure;
    }
    if (const auto result = m_archive.Open(m_payloadPath); result != CSetupArchive::EResult::Ok) {
        ShowError(MessageFor(result));
        return kExitFailure;
    }
    // A folder of our own rather than fixed names in the shared temporary
    // folder, where another user could have planted files or links.
    const std::string folder = OS_CSetupPlatform::MakePrivateTempDir("HarborlockSetup.");
    if (folder.empty()) {
        ShowError(kMsgExtractError);
        return kExitFailure;
    }

    const long window = ShowPreparation();
    const bool unpacked = UnpackAll(folder);
    OS_CSetupPlatform::Stop(window);

    std::string installer;
    for (const auto& entry : m_archive.GetEntries())
        if (entry.type == CPayloadFormat::kTypeInstaller) {
            installer = JoinPath(folder, entry.name);
            break;
        }

    int code = kExitFailure;
    if (!unpacked || installer.empty()) {
        // Never start an installer next to a missing or half-written payload.
        ShowError(kMsgExtractError);
    } else {
        std::vector<std::string> argv{"/bin/sh", installer};
        argv.insert(argv.end(), m_args.begin(), m_args.end());
        code = OS_CSetupPlatform::RunAndWait(argv);
        if (code < 0) {
            ShowError(kMsgExtractError);
            code = kExitFailure;
        }
    }
    RemoveUnpacked();
    OS_CSetupPlatform::RemoveDir(folder);
    return code;
}
