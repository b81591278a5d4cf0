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

BenchWindow::BenchWindow(const std::string& activityLog)
{
    if (!activityLog.empty())
        m_log.Open(activityLog);
    m_thread = std::thread([this] { Run(); });
}

BenchWindow::~BenchWindow()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    m_posted.notify_all();
    m_thread.join();
    // Whatever came after the window stopped is freed unhandled, as a closed window does.
    for (const Posted& p : m_queue)
        GUIComm::FreePayload(p.message, p.lParam);
}

bool BenchWindow::Post(unsigned message, intptr_t lParam)
{
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stopping)
            return false;
        m_queue.push_back(Posted{message, lParam, now});
    }
    m_posted.notify_one();
    return true;
}

void BenchWindow::Run()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_posted.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        const Posted p = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        // What the window does with every notification: its status and its activity-log lines.
        std::uint64_t lines = 0;
        for (const std::string& line : m_activity.Apply(p.message, p.lParam, "bench"))
            if (m_log.IsOpen()) {
                m_log.Log(line);
                ++lines;
            }
        const bool saveDone = p.message == CM_HLKSaveBackupDone;
        const bool saveOk = saveDone && reinterpret_cast<HLKResultMsg*>(p.lParam)->success != 0;
        const int error = p.message == CM_HLKError ? static_cast<int>(p.lParam) : -1;
        GUIComm::FreePayload(p.message, p.lParam);
        lock.lock();
        m_lines += lines;
        if (p.message == CM_HLKBackupTransferDone)
            m_transferDoneAt = p.at;
        if (error >= 0)
            m_errors.push_back(error);
        if (saveDone) {
            m_saveDone = true;
            m_saveOk = saveOk;
            // Only the end is waited for: waking the waiter for each progress report would
            // charge the service with thousands of needless thread switches.
            m_changed.notify_all();
        }
    }
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

std::uint64_t BenchWindow::LinesLogged()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

namespace {

// The activity log where the program keeps it, in the data root's log folder.
std::string ActivityLogIn(const std::string& root)
{
    const std::string log = hl::JoinPath(root, "log");
    hl::Os().CreateDirectory(root);
    hl::Os().CreateDirectory(log);
    return CActivityLog::PathIn(log);
}

} // namespace

BenchService::BenchService(const std::string& root, bool debugLog)
    : m_root(root), m_window(ActivityLogIn(root))
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
