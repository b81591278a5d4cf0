// The setup stub's run: unpacks the payload into a private temporary folder,
// starts the installer script, waits for it, removes what it unpacked and ends
// with the installer's exit code; or, with "/extract:<folder>", only unpacks.
#pragma once

#include "CSetupArchive.h"

#include <string>
#include <vector>

class CSetupBootstrapper {
public:
    static constexpr const char* kMsgReadError = "An error occured while reading the file.";
    static constexpr const char* kMsgCorrupted = "This archive is corupted.";
    static constexpr const char* kMsgBadVersion = "This archive has an an unsuported version.";
    static constexpr const char* kMsgExtractError = "An error ocured while extracting.";
    static constexpr const char* kMsgExtracting = "Extracting the main application files...";
    static constexpr const char* kExtractOption = "/extract:";

    // Exit code of a run that failed before or while unpacking.
    static constexpr int kExitFailure = 1;

    // `payloadPath` is the file carrying the payload (the stub's own file in
    // production); `args` the command line without the program name.
    CSetupBootstrapper(std::string payloadPath, std::vector<std::string> args);

    int Run();

    // The folder named by "/extract:" (quotes removed), or nothing when the
    // command line does not ask for extraction.
    static bool ParseExtractFolder(const std::vector<std::string>& args, std::string& folder);

    static const char* MessageFor(CSetupArchive::EResult result);

private:
    int RunExtract(const std::string& folder);
    int RunInstall();
    // Unpacks every installer and payload entry into `folder`, recording each
    // file written in m_unpacked; stops at the first failure.
    bool UnpackAll(const std::string& folder);
    void RemoveUnpacked();
    void ShowError(const std::string& text) const;
    long ShowPreparation() const;

    std::string m_payloadPath;
    std::vector<std::string> m_args;
    CSetupArchive m_archive;
    std::vector<std::string> m_unpacked;
};
