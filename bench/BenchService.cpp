#include "BenchService.h"

#include <chrono>
#include <memory>
#include <stdexcept>

#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "CLog.h"
#include "HLKBackup.h"
#include "Platform.h"

namespace bench {

bool BenchWindow::Post(unsigned message, intptr_t lParam)
{
    bool saveDone = false;
    bool saveOk = false;
    int error = -1;
    const auto now = std::chrono::steady_clock::now();
    if (message == CM_HLKBackupTransferDone) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_transferDoneAt = now;
    }
    if (message == CM_HLKSaveBackupDone) {
        saveDone = true;
        saveOk = reinterpret_cast<HLKResultMsg*>(lParam)->success != 0;
    } else if (message == CM_HLKError) {
        error = static_cast<int>(lParam);
    }
    GUIComm::FreePayload(message, lParam);
    std::lock_guard<std::mutex> guard(m_lock);
    if (saveDone) {
        m_saveDone = true;
        m_saveOk = saveOk;
    }
    if (error >= 0)
        m_errors.push_back(error);
    // Only the end is waited for: waking the waiter for each progress report would charge
    // the service with thousands of needless thread switches.
    if (saveDone)
        m_changed.notify_all();
    return true;
}

void BenchWindow::Reset()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_saveDone = false;
    m_saveOk = false;
    m_errors.clear();
}

bool BenchWindow::WaitSaveDone(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_saveDone; });
    return m_saveDone && m_saveOk;
}

std::chrono::steady_clock::time_point BenchWindow::TransferDoneAt()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_transferDoneAt;
}

std::vector<int> BenchWindow::Errors()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_errors;
}

BenchService::BenchService(const std::string& root, bool debugLog) : m_root(root)
{
    // The program logs errors and warnings of the service and the repository.
    CLog::Init(root);
    CLog::SetLevels(32, CLog::LEVEL_FATAL | CLog::LEVEL_ERROR | CLog::LEVEL_WARN);
    CLog::SetLevels(33, CLog::LEVEL_FATAL | CLog::LEVEL_ERROR | CLog::LEVEL_WARN);
    if (debugLog) {
        CLog::SetLevels(32, CLog::LEVEL_DEBUG);
        CLog::SetLevels(33, CLog::LEVEL_DEBUG);
    }
    if (!CBFMRepository::GetInstance(hl::JoinPath(root, "backups").c_str()))
        throw std::runtime_error("repository");
    GUIComm::GetInstance(&m_window);
    if (!HLKBackup::GetInstance()->HLK_ResetEphemeral())
        throw std::runtime_error("service did not start");
    m_port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
}

BenchService::~BenchService()
{
    HLKBackup::Cleanup();
    GUIComm::Cleanup();
    CBFMRepository::Release();
    CLog::Close();
}

void BenchService::ForgetServer(const std::string& serverID)
{
    CBFMRepository* repo = CBFMRepository::GetInstance(nullptr);
    std::vector<TBackupInfo> all;
    repo->GetAllBackups(all);
    for (const TBackupInfo& b : all)
        if (b.serverID == serverID)
            repo->DeleteBackup(b.serverID, b.backupID);
}

bool BenchService::PrepareServer(const std::string& serverID)
{
    CBFMRepository* repo = CBFMRepository::GetInstance(nullptr);
    std::unique_ptr<CBFMServer> server = repo->GetServer(serverID);
    if (!server)
        server = repo->CreateServer(serverID);
    if (!server)
        return false;
    server->SetForceFullType(CBFMServer::Never);
    server->SetNumOldBackupsToKeep(0);
    return true;
}

std::vector<std::string> BenchService::CurrentImageFiles(const std::string& serverID)
{
    std::vector<std::string> files;
    CBFMRepository* repo = CBFMRepository::GetInstance(nullptr);
    std::unique_ptr<CBFMServer> server = repo->GetServer(serverID);
    std::string current;
    if (!server || !server->GetCurrentBackup(current))
        return files;
    std::unique_ptr<CBFMBackup> backup = server->GetBackup(current);
    if (!backup)
        return files;
    const std::string logical = backup->GetFilePath(CBFMBackup::BackupFile);
    for (int i = 0; i < CBFMFile::kMaxSubFiles; ++i) {
        const std::string sub = CBFMFile::SubFilePath(logical, i);
        if (!hl::Os().FileExists(sub))
            break;
        files.push_back(sub);
    }
    return files;
}

} // namespace bench
