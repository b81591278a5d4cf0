#include "HLKServer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "CPeerRules.h"
#include "HLKBackupSession.h"
#include "HLKInternal.h"
#include "HLKPeerGate.h"
#include "HLKRestore.h"
#include "HLKWire.h"
#include "Platform.h"
#include "SFSProtocol.h"
#include "SessionData.h"

namespace {

const char* const kUnit = "BusinessLogic/BackupServices/HLKServer";

std::mutex g_timeoutsLock;
HLKTimeouts g_timeouts;
std::atomic<std::uint64_t> g_nextThreadId{1};

// Keep-alive of accepted connections: a peer that vanished (power cut, cable) is found after
// about two minutes of silence even while the worker only waits for it.
constexpr std::uint32_t kKeepAliveIdleMs = 60000;
constexpr std::uint32_t kKeepAliveIntervalMs = 10000;
constexpr int kKeepAliveProbes = 6;

// The context of a listener or worker thread, set for its whole run (see HLKInternal).
thread_local bool t_hasContext = false;
thread_local HLKServer::Context t_context;

class ScopedContext {
public:
    explicit ScopedContext(HLKServer::Context context)
    {
        t_context = std::move(context);
        t_hasContext = true;
    }
    ~ScopedContext()
    {
        t_hasContext = false;
        t_context = HLKServer::Context();
    }
    ScopedContext(const ScopedContext&) = delete;
    ScopedContext& operator=(const ScopedContext&) = delete;
};

// Runs a thread routine and marks the record's thread as ended as its very last act. The
// closure holds a reference to the record, so the record outlives an owner that gave up
// waiting.
void RunThread(std::shared_ptr<HLK_Thread_Sync_t> sync, HLKServer::ThreadRoutine routine)
{
    try {
        routine();
    } catch (...) {
        // A routine that lets an exception escape (a failed log rotation) just ends.
    }
    hl::Os().SetEvent(sync->endedEvent);
}

// Whether a failed listen came from binding the port (in use, not permitted) rather than from
// creating the socket.
bool IsBindFailure(int error)
{
    return error == EADDRINUSE || error == EADDRNOTAVAIL || error == hl::kErrAccessDenied || error == EACCES;
}

std::uint32_t ParseIPv4(const std::string& dotted)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(dotted.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return 0;
    return (a & 0xFF) << 24 | (b & 0xFF) << 16 | (c & 0xFF) << 8 | (d & 0xFF);
}

} // namespace

std::shared_ptr<CBFMRepository> HLKInternal::Repository()
{
    return t_hasContext ? t_context.repository : CBFMRepository::Acquire();
}

std::shared_ptr<GUIComm> HLKInternal::Channel()
{
    return t_hasContext ? t_context.gui : GUIComm::Acquire();
}

std::shared_ptr<CPeerRules> HLKServer::PeerRules()
{
    return t_hasContext ? t_context.rules : nullptr;
}

// ---- HLK_Thread_Sync_t ---------------------------------------------------------------------

HLK_Thread_Sync_t::HLK_Thread_Sync_t() = default;

HLK_Thread_Sync_t::~HLK_Thread_Sync_t()
{
    // Owners join or detach before they let go; the last reference may be the thread's own.
    if (thread.joinable())
        thread.detach();
    for (int* ev : {&startedEvent, &failedEvent, &endedEvent, &stopEvent}) {
        if (*ev >= 0)
            hl::Os().Close(*ev);
        *ev = -1;
    }
}

bool HLK_Thread_Sync_t::StopRequested()
{
    std::lock_guard<std::mutex> guard(lock);
    return stopFlag;
}

void HLK_Thread_Sync_t::RequestStop()
{
    std::lock_guard<std::mutex> guard(lock);
    stopFlag = true;
    if (stopEvent >= 0)
        hl::Os().SetEvent(stopEvent);
}

std::uint64_t HLK_Thread_Sync_t::ThreadId()
{
    std::lock_guard<std::mutex> guard(lock);
    return threadId;
}

void HLK_Thread_Sync_t::SetThreadId(std::uint64_t id)
{
    std::lock_guard<std::mutex> guard(lock);
    threadId = id;
}

// ---- time-outs -----------------------------------------------------------------------------

void HLKServer::SetTimeouts(const HLKTimeouts& timeouts)
{
    std::lock_guard<std::mutex> guard(g_timeoutsLock);
    g_timeouts = timeouts;
}

HLKTimeouts HLKServer::GetTimeouts()
{
    std::lock_guard<std::mutex> guard(g_timeoutsLock);
    return g_timeouts;
}

// ---- threads -------------------------------------------------------------------------------

int HLKServer::doCreateThread(const std::shared_ptr<HLK_Thread_Sync_t>& sync, ThreadRoutine routine,
                              bool* threadCreated)
{
    hl::Platform& os = hl::Os();
    if (threadCreated)
        *threadCreated = false;
    {
        std::lock_guard<std::mutex> guard(sync->lock);
        sync->stopFlag = false;
    }
    sync->startedEvent = os.CreateEvent(false, false);
    sync->failedEvent = os.CreateEvent(false, false);
    sync->endedEvent = os.CreateEvent(true, false);
    {
        std::lock_guard<std::mutex> guard(sync->lock);
        sync->stopEvent = os.CreateEvent(true, false);
    }

    bool created = false;
    if (sync->startedEvent >= 0 && sync->failedEvent >= 0 && sync->endedEvent >= 0 && sync->stopEvent >= 0) {
        sync->SetThreadId(g_nextThreadId++);
        try {
            sync->thread = std::thread(RunThread, sync, std::move(routine));
            created = true;
        } catch (...) {
            created = false;
        }
    }
    if (!created) {
        sync->SetThreadId(0);
        HLK_ERROR("HLKServer doCreateThread(): An Error occurred while creating a thread.\n");
        return -1;
    }
    if (threadCreated)
        *threadCreated = true;

    const int handles[2] = {sync->startedEvent, sync->failedEvent};
    std::size_t index = 0;
    const hl::WaitResult r =
        os.WaitForObjects(handles, 2, false, static_cast<std::uint32_t>(GetTimeouts().threadStartMs), index);
    if (r == hl::WaitResult::Signalled && index == 0)
        return 0;

    if (r == hl::WaitResult::Timeout) {
        HLK_ERROR("HLKServer doCreateThread(): A Timeout occurred while waiting for a thread to start.\n");
        sync->thread.detach(); // it keeps its own reference to the record
    } else {
        HLK_ERROR("HLKServer doCreateThread(): An error occurred while waiting for a thread to start.\n");
        // A thread that reported failure is about to end.
        bool timedOut = false;
        stopThread(sync, GetTimeouts().threadStopMs, timedOut);
    }
    return -1;
}

bool HLKServer::stopThread(const std::shared_ptr<HLK_Thread_Sync_t>& sync, int waitMs, bool& timedOut)
{
    timedOut = false;
    if (!sync || !sync->thread.joinable())
        return true;
    sync->RequestStop();
    std::size_t index = 0;
    const hl::WaitResult r =
        hl::Os().WaitForObjects(&sync->endedEvent, 1, false, static_cast<std::uint32_t>(waitMs), index);
    if (r == hl::WaitResult::Signalled) {
        sync->thread.join();
        return true;
    }
    timedOut = r == hl::WaitResult::Timeout;
    // Abandoned, not freed: the thread still holds the record through its own reference.
    sync->thread.detach();
    return false;
}

int HLKServer::HLK_MainThread(const MainThreadArgument& argument)
{
    if (!argument.sync)
        return -1;
    std::shared_ptr<HLK_Thread_Sync_t> sync = argument.sync;
    const int port = argument.port;
    const HLKTimeouts timeouts = GetTimeouts();
    hl::Platform& os = hl::Os();
    os.SetThreadName("HLK_MainThread");
    ScopedContext context(argument.context);

    int listenSocket =
        os.ListenOn(argument.address, static_cast<std::uint16_t>(port), HLKBackup::ListenBacklog());
    if (listenSocket < 0) {
        if (IsBindFailure(hl::Platform::LastError())) {
            HLK_ERROR("HLKServer HLK_MainThread(): Error binding TCP socket to port %d\n", port);
            HLK_NOTIFY(NotifyServiceFailed(HLK_ERR_BIND_PORT));
        } else {
            HLK_ERROR("HLKServer HLK_MainThread(): Error creating TCP socket\n");
            HLK_NOTIFY(NotifyServiceFailed(HLK_ERR_START_SERVICE));
        }
        os.SetEvent(sync->failedEvent);
        return -1;
    }
    const int boundPort = os.LocalPort(listenSocket);
    if (argument.boundPort)
        argument.boundPort->store(boundPort > 0 ? boundPort : port);

    HLK_DEBUG("HLKServer HLK_MainThread(): Accepting connections on port %d\n",
              boundPort > 0 ? boundPort : port);
    os.SetEvent(sync->startedEvent);
    if (argument.beforeFirstAccept)
        argument.beforeFirstAccept();

    HLK_THREAD_SYNC_VEC workers;
    bool failed = false;
    std::vector<int> handles;
    for (;;) {
        // While a worker exists, new connections wait in the accept queue; the listener wakes
        // the moment that worker ends (its ended event) or a stop is asked for (the stop
        // event), not at its next poll.
        handles.assign(1, sync->stopEvent);
        if (workers.empty()) {
            handles.push_back(listenSocket);
        } else {
            for (const auto& worker : workers)
                handles.push_back(worker->endedEvent);
        }
        std::size_t index = 0;
        const hl::WaitResult r =
            os.WaitForObjects(handles.data(), handles.size(), false,
                              static_cast<std::uint32_t>(timeouts.listenerPollMs), index);
        if (r == hl::WaitResult::Failed) {
            HLK_ERROR("HLKServer HLK_MainThread(): Select failed\n");
            failed = true;
            break;
        }
        if (sync->StopRequested()) {
            // The port goes back first: a worker that does not see the stop (a stalled read,
            // a merge, a prompt, a peer that does not read) must not keep a restarted
            // service from binding it.
            os.Close(listenSocket);
            listenSocket = -1;
            HLK_DEBUG("HLKServer HLK_MainThread(): Shutting down worker threads...\n");
            if (shutdownThreads(workers))
                HLK_DEBUG("HLKServer HLK_MainThread(): Worker threads terminated.\n");
            else
                HLK_ERROR("HLKServer HLK_MainThread(): Some worker threads FAILED to terminate.\n");
            break;
        }
        if (r == hl::WaitResult::Signalled && workers.empty() && index == 1) {
            if (doAcceptClientConnection(listenSocket, workers) != 0) {
                HLK_ERROR("HLKServer HLK_MainThread(): doAcceptClientConnection failed.\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_START_SESSION));
            }
        } else {
            reapFinishedWorkers(workers);
        }
    }

    HLK_DEBUG("HLKServer HLK_MainThread(): Backup services terminated on port %d... Good Bye!\n",
              boundPort > 0 ? boundPort : port);
    if (failed) {
        os.Close(listenSocket);
        listenSocket = -1;
        // The workers would otherwise be left without an owner.
        shutdownThreads(workers);
        HLK_ERROR("HLKServer HLK_MainThread(): terminated due to error\n");
        HLK_NOTIFY(NotifyServiceFailed(HLK_ERR_SERVICE_FAILED));
    }
    if (listenSocket >= 0)
        os.Close(listenSocket);
    return 0;
}

int HLKServer::doAcceptClientConnection(int listenSocket, HLK_THREAD_SYNC_VEC& workers)
{
    hl::Platform& os = hl::Os();
    HLK_DEBUG("HLKServer doAcceptClientConnection(): servfd= %d\n", listenSocket);

    std::string peer;
    const int s = os.Accept(listenSocket, &peer);
    if (s < 0) {
        HLK_ERROR("HLKServer doAcceptClientConnection(): Unable to accept connection.\n");
        return -1;
    }
    HLK_DEBUG("HLKServer doAcceptClientConnection(): Accepted connection, got socket= %d.\n", s);
    int peerPort = 0;
    const std::size_t colon = peer.find(':');
    if (colon != std::string::npos)
        peerPort = std::atoi(peer.c_str() + colon + 1);
    const std::string peerAddress = peer.substr(0, colon);
    HLK_DEBUG("HLKServer doAcceptClientConnection(): Connect from addr=0x%08X port=%d LAN=%d\n",
              ParseIPv4(peerAddress), peerPort, 0);
    // A peer the accept list leaves out is closed before a byte of it is read; no worker
    // starts and the window changes nothing but its log.
    if (t_context.rules && !t_context.rules->AcceptsConnection(peerAddress)) {
        os.Close(s);
        HLK_DEBUG(
            "HLKServer doAcceptClientConnection(): Connection from %s refused: not an accepted address.\n",
            peerAddress.c_str());
        HLK_NOTIFY(NotifyPeerRefused(CPeerRules::RefusedConnectionLine(peerAddress).c_str()));
        return 0;
    }
    // Sends time out like reads, so that a peer that stops reading cannot hold the only
    // worker; keep-alive finds a peer that vanished.
    if (!os.SetSendTimeout(s, static_cast<std::uint32_t>(GetTimeouts().payloadSendMs)) ||
        !os.SetKeepAlive(s, kKeepAliveIdleMs, kKeepAliveIntervalMs, kKeepAliveProbes))
        HLK_WARN("HLKServer doAcceptClientConnection(): Unable to set the send time-out or keep-alive of "
                 "socket %d.\n",
                 s);

    std::shared_ptr<HLK_Thread_Sync_t> record;
    try {
        record = std::make_shared<HLK_Thread_Sync_t>();
    } catch (...) {
        HLK_ERROR("HLKServer doAcceptClientConnection(): Not enough memory for SyncData for backup worker "
                  "thread.\n");
        os.Close(s);
        return -1;
    }
    ThreadRoutine routine;
    try {
        routine = [argument = WorkerArgument{s, record, t_context, peerAddress}] {
            return HLK_BackupWorker(argument);
        };
    } catch (...) {
        HLK_ERROR("HLKServer doAcceptClientConnection(): Not enough memory to start backup worker thread.\n");
        os.Close(s);
        return -1;
    }

    bool created = false;
    if (doCreateThread(record, std::move(routine), &created) != 0) {
        HLK_ERROR("HLKServer doAcceptClientConnection(): Unable to create backup worker thread.\n");
        if (!created) // a created worker owns its socket
            os.Close(s);
        return -1;
    }
    workers.push_back(record);
    return 0;
}

bool HLKServer::shutdownThreads(HLK_THREAD_SYNC_VEC& workers)
{
    const int waitMs = GetTimeouts().threadStopMs;
    bool result = true;
    for (auto& record : workers) {
        bool timedOut = false;
        if (!stopThread(record, waitMs, timedOut)) {
            if (timedOut)
                HLK_ERROR("HLKServer shutdownThreads(): A Timeout occurred while waiting for a backup "
                          "services thread to STOP.\n");
            else
                HLK_ERROR("HLKServer shutdownThreads(): An unknown error occurred while waiting for a backup "
                          "services thread to STOP.\n");
            result = false;
        }
    }
    workers.clear();
    return result;
}

void HLKServer::reapFinishedWorkers(HLK_THREAD_SYNC_VEC& workers)
{
    const int waitMs = GetTimeouts().threadStopMs;
    for (auto it = workers.begin(); it != workers.end();) {
        std::size_t fired = 0;
        // A worker whose routine ended without marking its record (it threw) is over too; left
        // in the table, its ended event would wake the listener for ever.
        if ((*it)->ThreadId() == 0 ||
            hl::Os().WaitForObjects(&(*it)->endedEvent, 1, false, 0, fired) == hl::WaitResult::Signalled) {
            // The command loop has ended; what is left is the worker's short clean-up.
            std::size_t index = 0;
            if (hl::Os().WaitForObjects(&(*it)->endedEvent, 1, false, static_cast<std::uint32_t>(waitMs),
                                        index) == hl::WaitResult::Signalled)
                (*it)->thread.join();
            else
                (*it)->thread.detach();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
}

// ---- the worker ----------------------------------------------------------------------------

int HLKServer::HLK_BackupWorker(const WorkerArgument& argument)
{
    if (!argument.sync)
        return -1;
    std::shared_ptr<HLK_Thread_Sync_t> sync = argument.sync;
    hl::Platform& os = hl::Os();
    os.SetThreadName("HLK_BackupWorker");
    ScopedContext context(argument.context);

    SessionData session;
    session.socket = argument.socket;
    session.peerAddress = argument.peer;
    session.state = SessionState::Idle;
    session.timeouts = GetTimeouts();
    session.indexCapacity = 128;
    session.scratchIndex.resize(128);
    session.rxBuffer.resize(64 * 1024);
    bool backupSeen = false;
    bool restoreSeen = false;

    os.SetEvent(sync->startedEvent);
    HLK_DEBUG("HLKServer HLK_BackupWorker(): Started: sockFd= %d\n", session.socket);

    try {
        bool running = true;
        while (running) {
            const std::uint32_t cmd = HLKWire::waitCommand(session, *sync);
            switch (cmd) {
            case 0xFFFFFFFF: // the wait failed
            case SFS_WAIT_STOPPED: running = false; break;
            case SFS_CMD_HELLO:
                backupSeen = true;
                if (HLKBackupSession::xactHello(session) != 0) {
                    HLK_INTERNAL();
                    running = false;
                }
                break;
            case SFS_CMD_SIZE:
                if (HLKBackupSession::xactSize(session) != 0) {
                    HLK_INTERNAL();
                    running = false;
                }
                break;
            case SFS_CMD_CLUSTER:
                if (HLKBackupSession::xactCluster(session) != 0) {
                    HLK_INTERNAL();
                    running = false;
                }
                break;
            case SFS_CMD_DONE:
                if (HLKBackupSession::xactDone(session) == 0) {
                    if (HLKBackupSession::finishBackup(session) != 0)
                        HLK_INTERNAL();
                    else
                        HLKPeerGate::backupSaved(session);
                } else {
                    HLK_INTERNAL();
                }
                running = false;
                break;
            case SFS_CMD_PING:
                if (HLKWire::sendResponse(session.socket, SFS_RSP_OK) != 0)
                    HLK_INTERNAL();
                running = false;
                break;
            case SFS_CMD_RESTORE:
                restoreSeen = true;
                if (HLKRestore::xactRestore(session) == 0 && HLKRestore::finishRestore(session) == 0) {
                    if (HLKWire::sendResponse(session.socket, SFS_CMD_DONE) == 0) {
                        session.state = SessionState::Done;
                        session.closeSocket();
                    } else {
                        HLK_INTERNAL();
                    }
                } else {
                    HLK_INTERNAL();
                }
                running = false;
                break;
            case SFS_CMD_INQUIRY:
                restoreSeen = true;
                if (HLKRestore::xactInquiry(session) == 0 && HLKRestore::finishInquiry(session) == 0) {
                    if (HLKWire::sendResponse(session.socket, SFS_CMD_DONE) == 0) {
                        session.state = SessionState::Done;
                        session.closeSocket();
                    } else {
                        HLK_INTERNAL();
                    }
                } else {
                    HLK_INTERNAL();
                }
                running = false;
                break;
            default:
                HLK_WARN("HLKServer HLK_BackupWorker(): Cmd=0x%08X Not recognized\n", cmd);
                running = false;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        HLK_INTERNAL();
    } catch (...) {
        // A failed log rotation: the conversation ends, the clean-up below still runs.
    }

    // A request a peer rule refused was reported as such; it is no failure of the service.
    if (session.state != SessionState::Done && !session.refusedByPeerRule) {
        if (backupSeen) {
            HLK_ERROR("HLKServer HLK_BackupWorker(): Backup failed.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FAILED));
        } else if (restoreSeen) {
            HLK_ERROR("HLKServer HLK_BackupWorker(): Restore failed.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_RESTORE_FAILED));
        }
    }
    session.closeSocket();
    session.release();
    // Reapable only now: the next connection must not start while this one still deletes the
    // temporary files of a backup record the next backup may write into (an incremental).
    sync->SetThreadId(0);
    HLK_DEBUG("HLKServer HLK_BackupWorker(): Thread operation has completed\n");
    return 0;
}
