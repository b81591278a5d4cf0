#include "HLKBackup.h"

#include <new>
#include <utility>

#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "CClientExc.h"
#include "CLog.h"
#include "CPeerRules.h"
#include "GUIComm.h"
#include "HLKBackupSession.h"
#include "HLKInternal.h"
#include "HLKServer.h"
#include "Platform.h"

namespace {

const char* const kUnit = "BusinessLogic/BackupServices/HLKBackup";
constexpr int kLogCategory = 33;

std::mutex g_instanceLock;
HLKBackup* g_instance = nullptr;
std::atomic<int> g_listenBacklog{HLKBackup::kDefaultListenBacklog};

// A process killed during a transfer or a merge leaves that backup's temporary data files
// behind, and a first transfer also leaves a record without an image. Run before the first
// listener of the process accepts a connection, when no transfer can be in progress:
// finishing an interrupted commit comes first (loading the server and the record does it);
// then a transfer that was acknowledged (it left a transfer record) is merged and committed
// as its worker would have, and only what cannot be finished is removed.
// Runs on the listener thread: the repository and the window channel are the ones that
// listener was started with, even if a stop gives up on it meanwhile.
void FinishInterruptedTransfers()
{
    const std::shared_ptr<CBFMRepository> repo = HLKInternal::Repository();
    if (!repo)
        return;
    std::vector<std::string> servers;
    repo->GetAllServers(servers);
    for (const std::string& serverID : servers) {
        std::unique_ptr<CBFMServer> server = repo->GetServer(serverID);
        if (!server)
            continue;
        std::vector<std::string> backups;
        server->GetAllBackups(backups);
        for (const std::string& backupID : backups) {
            std::unique_ptr<CBFMBackup> backup = server->GetBackup(backupID);
            if (!backup)
                continue;
            auto exists = [&](int type) {
                const std::string path = backup->GetFilePath(type);
                return hl::Os().PathExists(CBFMFile::ControlFilePath(path)) ||
                       hl::Os().PathExists(CBFMFile::SubFilePath(path, 0));
            };
            CBFMBackup::TransferRecord record;
            bool acknowledged = false;
            const bool resumable = backup->LoadTransferRecord(record, acknowledged);
            if (!acknowledged && exists(CBFMBackup::BackupFile) && !exists(CBFMBackup::TmpMergeFile) &&
                !exists(CBFMBackup::TmpMainFile) && !exists(CBFMBackup::TmpScratchFile))
                continue;
            if (resumable) {
                // The merge engine reports it to the window like any other save, and gives it
                // up (the next backup then is a full one) when it cannot be finished.
                HLKBackupSession::resumeBackup(repo->GetServer(serverID), std::move(backup), record);
                continue;
            }
            CLog::Warn(kLogCategory, "HLKBackup::HLK_Reset(): removing an interrupted transfer in %s/%s\n",
                       serverID.c_str(), backupID.c_str());
            backup->Cleanup();
            backup.reset();
            server->RemoveBackupDirectory(backupID);
            if (acknowledged) {
                // A record that does not read: the backup the Quarnex server was told is
                // stored is lost, and its current backup stays cleared.
                CLog::Error(kLogCategory, "HLKBackup::HLK_Reset(): acknowledged backup of %s given up\n",
                            serverID.c_str());
                if (const std::shared_ptr<GUIComm> gui = HLKInternal::Channel())
                    gui->NotifyBackupNotSaved(serverID.c_str());
            }
        }
    }
}

} // namespace

HLKBackup::HLKBackup() = default;

HLKBackup::~HLKBackup()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    HLK_Stop();
    m_listener.reset();
}

HLKBackup* HLKBackup::GetInstance()
{
    std::lock_guard<std::mutex> guard(g_instanceLock);
    if (g_instance != nullptr)
        return g_instance;
    try {
        g_instance = new HLKBackup();
    } catch (const std::bad_alloc&) {
        g_instance = nullptr;
        throw CClientExc("HLKBackup::GetInstance(): Not enough memory to create HLKBackup.", 1234, kUnit,
                         __LINE__);
    } catch (...) {
        g_instance = nullptr;
        throw CClientExc("HLKBackup::GetInstance(): Unhandled internal error creating HLKBackup", 1234, kUnit,
                         __LINE__);
    }
    return g_instance;
}

void HLKBackup::Cleanup()
{
    std::lock_guard<std::mutex> guard(g_instanceLock);
    try {
        delete g_instance;
        g_instance = nullptr;
    } catch (...) {
        g_instance = nullptr;
        throw CClientExc("HLKBackup::Cleanup(): Unhandled internal error cleaning up HLKBackup", 1234, kUnit,
                         __LINE__);
    }
}

void HLKBackup::SetTimeouts(const HLKTimeouts& timeouts)
{
    HLKServer::SetTimeouts(timeouts);
}

HLKTimeouts HLKBackup::GetTimeouts()
{
    return HLKServer::GetTimeouts();
}

void HLKBackup::SetListenBacklog(int backlog)
{
    g_listenBacklog = backlog > 0 ? backlog : kDefaultListenBacklog;
}

int HLKBackup::ListenBacklog()
{
    return g_listenBacklog.load();
}

int HLKBackup::GetPort() const
{
    return m_boundPort.load();
}

bool HLKBackup::HLK_Reset(int port)
{
    // Ports outside the served range leave the running listener alone.
    if (port < 1025 || port > 8191)
        return true;
    return startListener(port);
}

void HLKBackup::SetPeerRules(std::shared_ptr<CPeerRules> rules)
{
    m_peerRules = std::move(rules);
}

std::shared_ptr<CPeerRules> HLKBackup::GetPeerRules() const
{
    return m_peerRules;
}

bool HLKBackup::HLK_ResetEphemeral()
{
    return startListener(0);
}

bool HLKBackup::startListener(int port)
{
    HLK_Stop();
    m_listener.reset();

    std::shared_ptr<HLK_Thread_Sync_t> record;
    HLKServer::ThreadRoutine routine;
    try {
        record = std::make_shared<HLK_Thread_Sync_t>();
        // The listener and its workers keep the repository and the window channel they start
        // with, even past a stop that gave up on them.
        HLKServer::Context context{CBFMRepository::Acquire(), GUIComm::Acquire(), m_peerRules};
        const std::string address = m_peerRules ? m_peerRules->GetSettings().listenAddress : std::string();
        // Interrupted transfers are finished by the first listener, before it serves anyone:
        // a large merge must not hold the thread that starts the service (the window's).
        std::function<void()> sweep;
        if (!m_swept)
            sweep = FinishInterruptedTransfers;
        routine = [argument = HLKServer::MainThreadArgument{port, record, &m_boundPort, std::move(context),
                                                            address, std::move(sweep)}] {
            return HLKServer::HLK_MainThread(argument);
        };
    } catch (const std::bad_alloc&) {
        CLog::Error(kLogCategory,
                    "HLKBackup::HLK_Reset(): The main backup services thread failed to start.\n");
        return false;
    }

    if (HLKServer::doCreateThread(record, std::move(routine)) != 0) {
        CLog::Error(kLogCategory,
                    "HLKBackup::HLK_Reset(): The main backup services thread failed to start.\n");
        m_boundPort = 0;
        return false;
    }
    m_listener = record;
    m_swept = true;
    return true;
}

bool HLKBackup::HLK_Stop()
{
    if (!m_listener || !m_listener->thread.joinable())
        return true;

    bool timedOut = false;
    const bool result = HLKServer::stopThread(m_listener, HLKServer::GetTimeouts().threadStopMs, timedOut);
    if (!result) {
        if (timedOut)
            CLog::Error(kLogCategory, "HLKBackup::HLK_Stop(): A Timeout occurred while waiting for the "
                                      "backup services thread to STOP.\n");
        else
            CLog::Error(kLogCategory, "HLKBackup::HLK_Stop(): An unknown error occurred while waiting for "
                                      "the backup services thread to STOP.\n");
    }
    m_listener.reset();
    m_boundPort = 0;
    return result;
}
