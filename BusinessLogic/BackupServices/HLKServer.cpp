#include "HLKServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "CLog.h"
#include "GUIComm.h"
#include "Platform.h"
#include "SFSProtocol.h"

using BackupDataLayout::GetBE32;
using BackupDataLayout::GetLE32;
using BackupDataLayout::PutBE32;
using BackupDataLayout::PutLE32;

namespace {

const char* const kUnit = "BusinessLogic/BackupServices/HLKServer";
constexpr int kLogCategory = 33;

#define HLK_ERROR(...) CLog::Error(kLogCategory, __VA_ARGS__)
#define HLK_WARN(...) CLog::Warn(kLogCategory, __VA_ARGS__)
#define HLK_DEBUG(...) CLog::Debug(kLogCategory, __VA_ARGS__)
#define HLK_INTERNAL() CLog::Error(kLogCategory, "Internal Error -- %s: %d\n", kUnit, __LINE__)

// Notifications go to the window when there is one; a service without a window (tools, some
// tests) has nobody to tell.
#define HLK_NOTIFY(call)                                                                           \
    do {                                                                                           \
        if (GUIComm* gui_ = GUIComm::Instance())                                                   \
            gui_->call;                                                                            \
    } while (0)

std::mutex g_timeoutsLock;
HLKTimeouts g_timeouts;
std::atomic<std::uint64_t> g_nextThreadId{1};

CBFMRepository* Repository()
{
    try {
        return CBFMRepository::GetInstance(nullptr);
    } catch (...) {
        return nullptr;
    }
}

std::int32_t Percent(std::int64_t done, std::int64_t total)
{
    if (total <= 0)
        return 100;
    return static_cast<std::int32_t>(std::min<std::int64_t>(100, done * 100 / total));
}

// Runs a thread routine and marks the record's thread as ended as its very last act. The
// closure holds a reference to the record, so the record outlives an owner that gave up
// waiting.
void RunThread(std::shared_ptr<HLK_Thread_Sync_t> sync, HLKServer::ThreadRoutine routine, void* argument)
{
    try {
        routine(argument);
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

// ---- HLK_Thread_Sync_t ---------------------------------------------------------------------

HLK_Thread_Sync_t::HLK_Thread_Sync_t() = default;

HLK_Thread_Sync_t::~HLK_Thread_Sync_t()
{
    // Owners join or detach before they let go; the last reference may be the thread's own.
    if (thread.joinable())
        thread.detach();
    for (int* ev : {&startedEvent, &failedEvent, &endedEvent}) {
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

// ---- SessionData ---------------------------------------------------------------------------

SessionData::SessionData() = default;
SessionData::~SessionData() = default;

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
                              void* argument, bool* threadCreated)
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

    bool created = false;
    if (sync->startedEvent >= 0 && sync->failedEvent >= 0 && sync->endedEvent >= 0) {
        sync->SetThreadId(g_nextThreadId++);
        try {
            sync->thread = std::thread(RunThread, sync, routine, argument);
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

int HLKServer::HLK_MainThread(void* argument)
{
    std::unique_ptr<MainThreadArgument> arg(static_cast<MainThreadArgument*>(argument));
    if (!arg)
        return -1;
    std::shared_ptr<HLK_Thread_Sync_t> sync = arg->sync;
    const int port = arg->port;
    const HLKTimeouts timeouts = GetTimeouts();
    hl::Platform& os = hl::Os();
    os.SetThreadName("HLK_MainThread");

    const int listenSocket = os.Listen(static_cast<std::uint16_t>(port), 4);
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
    if (arg->boundPort)
        arg->boundPort->store(boundPort > 0 ? boundPort : port);

    HLK_DEBUG("HLKServer HLK_MainThread(): Accepting connections on port %d\n", boundPort > 0 ? boundPort : port);
    os.SetEvent(sync->startedEvent);

    HLK_THREAD_SYNC_VEC workers;
    bool failed = false;
    for (;;) {
        // While a worker exists, new connections wait in the listen backlog.
        int r = 0;
        if (workers.empty()) {
            r = os.WaitReadable(listenSocket, static_cast<std::uint32_t>(timeouts.listenerPollMs));
        } else {
            os.Sleep(static_cast<std::uint32_t>(timeouts.listenerPollMs));
            r = 0;
        }

        if (r > 0) {
            if (doAcceptClientConnection(listenSocket, workers) != 0) {
                HLK_ERROR("HLKServer HLK_MainThread(): doAcceptClientConnection failed.\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_START_SESSION));
            }
        } else if (r == 0) {
            if (sync->StopRequested()) {
                HLK_DEBUG("HLKServer HLK_MainThread(): Shutting down worker threads...\n");
                if (shutdownThreads(workers))
                    HLK_DEBUG("HLKServer HLK_MainThread(): Worker threads terminated.\n");
                else
                    HLK_ERROR("HLKServer HLK_MainThread(): Some worker threads FAILED to terminate.\n");
                break;
            }
            reapFinishedWorkers(workers);
        } else {
            HLK_ERROR("HLKServer HLK_MainThread(): Select failed\n");
            failed = true;
            break;
        }
    }

    HLK_DEBUG("HLKServer HLK_MainThread(): Backup services terminated on port %d... Good Bye!\n",
              boundPort > 0 ? boundPort : port);
    if (failed) {
        // The workers would otherwise be left without an owner.
        shutdownThreads(workers);
        HLK_ERROR("HLKServer HLK_MainThread(): terminated due to error\n");
        HLK_NOTIFY(NotifyServiceFailed(HLK_ERR_SERVICE_FAILED));
    }
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
    HLK_DEBUG("HLKServer doAcceptClientConnection(): Connect from addr=0x%08X port=%d LAN=%d\n",
              ParseIPv4(peer.substr(0, colon)), peerPort, 0);

    std::shared_ptr<HLK_Thread_Sync_t> record;
    WorkerArgument* arg = new (std::nothrow) WorkerArgument{s, nullptr};
    if (arg == nullptr) {
        HLK_ERROR("HLKServer doAcceptClientConnection(): Not enough memory to start backup worker thread.\n");
        os.Close(s);
        return -1;
    }
    try {
        record = std::make_shared<HLK_Thread_Sync_t>();
    } catch (...) {
        HLK_ERROR("HLKServer doAcceptClientConnection(): Not enough memory for SyncData for backup worker thread.\n");
        delete arg;
        os.Close(s);
        return -1;
    }
    arg->sync = record;

    bool created = false;
    if (doCreateThread(record, HLK_BackupWorker, arg, &created) != 0) {
        HLK_ERROR("HLKServer doAcceptClientConnection(): Unable to create backup worker thread.\n");
        if (!created) { // a created worker owns its argument and socket
            delete arg;
            os.Close(s);
        }
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
                HLK_ERROR("HLKServer shutdownThreads(): A Timeout occurred while waiting for a backup services thread to STOP.\n");
            else
                HLK_ERROR("HLKServer shutdownThreads(): An unknown error occurred while waiting for a backup services thread to STOP.\n");
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
        if ((*it)->ThreadId() == 0) {
            // The command loop has ended; what is left is the worker's short clean-up.
            std::size_t index = 0;
            if (hl::Os().WaitForObjects(&(*it)->endedEvent, 1, false, static_cast<std::uint32_t>(waitMs), index) ==
                hl::WaitResult::Signalled)
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

int HLKServer::HLK_BackupWorker(void* argument)
{
    if (argument == nullptr)
        return -1;
    std::unique_ptr<WorkerArgument> arg(static_cast<WorkerArgument*>(argument));
    std::shared_ptr<HLK_Thread_Sync_t> sync = arg->sync;
    hl::Platform& os = hl::Os();
    os.SetThreadName("HLK_BackupWorker");

    SessionData session;
    session.socket = arg->socket;
    session.state = SessionData::kStateIdle;
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
            const std::uint32_t cmd = waitCommand(session, *sync);
            switch (cmd) {
            case 0xFFFFFFFF: // the wait failed
            case SFS_WAIT_STOPPED:
                running = false;
                break;
            case SFS_CMD_HELLO:
                backupSeen = true;
                if (xactHello(session) != 0) {
                    HLK_INTERNAL();
                    running = false;
                }
                break;
            case SFS_CMD_SIZE:
                if (xactSize(session) != 0) {
                    HLK_INTERNAL();
                    running = false;
                }
                break;
            case SFS_CMD_CLUSTER:
                if (xactCluster(session) != 0) {
                    HLK_INTERNAL();
                    running = false;
                }
                break;
            case SFS_CMD_DONE:
                if (xactDone(session) == 0) {
                    if (finishBackup(session) != 0)
                        HLK_INTERNAL();
                } else {
                    HLK_INTERNAL();
                }
                running = false;
                break;
            case SFS_CMD_PING:
                if (sendResponse(session.socket, SFS_RSP_OK) != 0)
                    HLK_INTERNAL();
                running = false;
                break;
            case SFS_CMD_RESTORE:
                restoreSeen = true;
                if (xactRestore(session) == 0 && finishRestore(session) == 0) {
                    if (sendResponse(session.socket, SFS_CMD_DONE) == 0) {
                        session.state = SessionData::kStateDone;
                        closeSocket(session);
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
                if (xactInquiry(session) == 0 && finishInquiry(session) == 0) {
                    if (sendResponse(session.socket, SFS_CMD_DONE) == 0) {
                        session.state = SessionData::kStateDone;
                        closeSocket(session);
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

    if (session.state != SessionData::kStateDone) {
        if (backupSeen) {
            HLK_ERROR("HLKServer HLK_BackupWorker(): Backup failed.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FAILED));
        } else if (restoreSeen) {
            HLK_ERROR("HLKServer HLK_BackupWorker(): Restore failed.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_RESTORE_FAILED));
        }
    }
    closeSocket(session);
    releaseSession(session);
    // Reapable only now: the next connection must not start while this one still deletes the
    // temporary files of a backup record the next backup may write into (an incremental).
    sync->SetThreadId(0);
    HLK_DEBUG("HLKServer HLK_BackupWorker(): Thread operation has completed\n");
    return 0;
}

void HLKServer::closeSocket(SessionData& session)
{
    if (session.socket >= 0)
        hl::Os().Close(session.socket);
    session.socket = -1;
}

void HLKServer::releaseBackup(SessionData& session)
{
    session.tmpMain.reset();
    session.tmpScratch.reset();
    if (session.backup) {
        const std::string name = session.backup->GetName();
        session.backup->Cleanup();
        if (session.server)
            session.server->RemoveBackupDirectory(name);
        session.backup.reset();
    }
}

void HLKServer::releaseSession(SessionData& session)
{
    releaseBackup(session);
    session.server.reset();
    session.clusterBuffer = std::vector<std::uint8_t>();
    session.scratchIndex = std::vector<ScratchIndexEntry>();
}

// ---- wire ----------------------------------------------------------------------------------

std::string HLKServer::formatServerId(std::uint32_t serialNumber)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

int HLKServer::socketWrite(int socket, const void* buffer, std::size_t length)
{
    // SendAll goes on after short sends and never raises SIGPIPE.
    return hl::Os().SendAll(socket, buffer, length) ? 0 : -1;
}

int HLKServer::sendResponse(int socket, std::uint32_t word)
{
    std::uint8_t bytes[4];
    PutBE32(bytes, word);
    if (socketWrite(socket, bytes, 4) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}

std::int64_t HLKServer::socketRead(int socket, void* buffer, std::size_t length, int timeoutMs)
{
    hl::Platform& os = hl::Os();
    const int r = os.WaitReadable(socket, static_cast<std::uint32_t>(timeoutMs));
    if (r < 0)
        return -1;
    if (r == 0)
        return -2;
    return os.Recv(socket, buffer, length);
}

std::int64_t HLKServer::receive(SessionData& session, void* buffer, std::size_t length, int timeoutMs)
{
    if (session.rxPos < session.rxEnd) {
        const std::size_t k = std::min(length, session.rxEnd - session.rxPos);
        std::memcpy(buffer, session.rxBuffer.data() + session.rxPos, k);
        session.rxPos += k;
        return static_cast<std::int64_t>(k);
    }
    // Large reads (cluster data) go straight to their destination.
    if (length >= session.rxBuffer.size())
        return socketRead(session.socket, buffer, length, timeoutMs);
    const std::int64_t r = socketRead(session.socket, session.rxBuffer.data(), session.rxBuffer.size(), timeoutMs);
    if (r <= 0)
        return r;
    session.rxPos = 0;
    session.rxEnd = static_cast<std::size_t>(r);
    const std::size_t k = std::min(length, session.rxEnd);
    std::memcpy(buffer, session.rxBuffer.data(), k);
    session.rxPos = k;
    return static_cast<std::int64_t>(k);
}

int HLKServer::fillBuffer(SessionData& session, void* buffer, std::size_t n)
{
    auto* p = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const std::int64_t r = receive(session, p + done, n - done, session.timeouts.payloadReadMs);
        if (r < 1) {
            HLK_ERROR("HLKServer fillBuffer(): socketRead() timeout or error\n");
            return -1;
        }
        done += static_cast<std::size_t>(r);
    }
    return 0;
}

std::uint32_t HLKServer::waitCommand(SessionData& session, HLK_Thread_Sync_t& sync)
{
    std::uint8_t word[4];
    std::size_t received = 0;
    int timeouts = 0;
    while (received < 4) {
        const std::int64_t r = receive(session, word + received, 4 - received, session.timeouts.commandPollMs);
        if (r == -2) {
            if (sync.StopRequested())
                return SFS_WAIT_STOPPED;
            if (timeouts >= session.timeouts.maxCommandPolls)
                return 0xFFFFFFFF;
            ++timeouts;
            continue;
        }
        if (r < 1) {
            HLK_ERROR("HLKServer waitCommand(): socketRead() error\n");
            return 0xFFFFFFFF;
        }
        received += static_cast<std::size_t>(r);
    }
    return GetBE32(word);
}

// ---- backup transfer -----------------------------------------------------------------------

int HLKServer::xactHello(SessionData& session)
{
    HLK_DEBUG("HLKServer xactHello(): Waiting for HELLO data\n");
    std::uint8_t payload[SFS_HELLO_SIZE];
    if (fillBuffer(session, payload, sizeof payload) != 0) {
        HLK_INTERNAL();
        return -1;
    }

    HLK_DEBUG("HLKServer xactHello(): Processing HELLO data\n");
    session.serialNumber = GetBE32(payload);
    session.full = GetBE32(payload + 4) != 0;
    session.clusterSize = GetBE32(payload + 8);
    session.headerParam1 = GetBE32(payload + 12);
    session.headerParam2 = GetBE32(payload + 16);
    session.headerParam3 = GetBE32(payload + 20);
    session.receivedCount = 0;

    const std::string serverId = formatServerId(session.serialNumber);
    HLK_NOTIFY(NotifyBackupInitiated(serverId.c_str()));

    // A cluster size of 0 cannot carry data and divides by zero later; one above the largest
    // restorable size would be stored for nothing and makes the service allocate on a peer's
    // word.
    if (session.clusterSize == 0 || session.clusterSize > SFS_MAX_CLUSTER_SIZE) {
        HLK_ERROR("HLKServer xactHello(): Invalid cluster size (%u).\n", session.clusterSize);
        HLK_NOTIFY(NotifyError(HLK_ERR_INTERNAL));
        sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }

    // A HELLO after SIZE starts the transfer again: drop what the earlier one attached.
    releaseBackup(session);
    session.server.reset();

    CBFMRepository* repo = Repository();
    if (repo) {
        session.server = repo->GetServer(serverId);
        if (!session.server)
            session.server = repo->CreateServer(serverId);
    }
    if (!session.server) {
        HLK_ERROR("HLKServer xactHello(): CreateServer() failed for %s\n", serverId.c_str());
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }

    if (!session.full && !session.server->IsIncrementalAllowed()) {
        HLK_WARN("HLKServer xactHello(): Incremental not allowed (no previous backup or time to force a new full).\n");
        // The transfer files of an earlier HELLO and SIZE are gone (above): clusters may no
        // longer be taken, and a SIZE would carry the refused HELLO's values. Only a new
        // HELLO starts over.
        session.state = SessionData::kStateIdle;
        if (sendResponse(session.socket, SFS_RSP_ERROR) != 0)
            return -1;
        HLK_DEBUG("HLKServer xactHello(): HELLO command completed\n");
        return 0;
    }

    try {
        // Room for a whole record: the merge reads a scratch record in one piece.
        session.clusterBuffer.assign(std::size_t(session.clusterSize) + HEADER_SIZE, 0);
    } catch (const std::bad_alloc&) {
        HLK_ERROR("HLKServer xactHello(): Out of memory\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_INTERNAL));
        return -1;
    }

    if (session.state != SessionData::kStateIdle)
        HLK_ERROR("HLKServer xactHello(): Incorrect state (%d) for HELLO command. Should be in state %d.\n",
                  static_cast<int>(session.state), -1);

    if (sendResponse(session.socket, SFS_RSP_OK) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    session.state = SessionData::kStateHello;
    HLK_DEBUG("HLKServer xactHello(): HELLO command completed\n");
    return 0;
}

int HLKServer::xactSize(SessionData& session)
{
    HLK_DEBUG("HLKServer xactSize(): Waiting for SIZE data.\n");
    std::uint8_t payload[SFS_SIZE_SIZE];
    if (fillBuffer(session, payload, sizeof payload) != 0) {
        HLK_INTERNAL();
        return -1;
    }

    HLK_DEBUG("HLKServer xactSize(): Processing SIZE data.\n");
    session.estimate = static_cast<std::int32_t>(GetBE32(payload));
    const std::uint32_t estimatedMB =
        ((session.clusterSize >> 10) * static_cast<std::uint32_t>(session.estimate)) >> 10;
    HLK_DEBUG("HLKServer xactSize(): Given estimate of %d MB (%d blocks) of data.\n",
              static_cast<int>(estimatedMB), session.estimate);

    const std::string serverId = formatServerId(session.serialNumber);
    auto abnormalEnd = [&session]() {
        if (sendResponse(session.socket, SFS_RSP_ERROR) != 0)
            HLK_INTERNAL();
        HLK_DEBUG("HLKServer xactSize(): SIZE command completed abnormally.\n");
        return -1;
    };

    if (session.state != SessionData::kStateHello) {
        HLK_ERROR("HLKServer xactSize(): Incorrect state (%d) for SIZE command. Should be in state %d.\n",
                  static_cast<int>(session.state), static_cast<int>(SessionData::kStateHello));
        HLK_NOTIFY(NotifyError(HLK_ERR_INTERNAL));
        sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }

    CBFMRepository* repo = Repository();
    const std::int64_t freeBytes = repo ? repo->GetFreeSpace() : -1;
    const std::int32_t availableMB = static_cast<std::int32_t>(freeBytes >> 20);
    const std::int32_t neededMB = static_cast<std::int32_t>(static_cast<double>(static_cast<std::int32_t>(estimatedMB)) * 2.2);
    if (neededMB > availableMB) {
        HLK_ERROR("HLKServer xactSize(): Insufficient disk space.  Needed=%dMB Available=%dMB\n", neededMB, availableMB);
        HLK_NOTIFY(NotifyInsufficientDiskSpace(serverId.c_str(), neededMB, availableMB));
        return abnormalEnd();
    }

    // An earlier SIZE on this connection may have attached a record already.
    releaseBackup(session);
    if (session.full) {
        session.backup = session.server->CreateBackup();
        if (!session.backup) {
            HLK_ERROR("HLKServer xactSize(): BFMServer CreateBackup() failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            return abnormalEnd();
        }
    } else {
        std::string name;
        if (!session.server->GetCurrentBackup(name)) {
            HLK_ERROR("HLKServer xactSize(): BFMServer GetCurrentBackup() failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            return abnormalEnd();
        }
        session.backup = session.server->GetBackup(name);
        if (!session.backup) {
            HLK_ERROR("HLKServer xactSize(): BFMServer GetBackup() failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            return abnormalEnd();
        }
    }

    session.tmpMain = session.backup->CreateBFMFile(CBFMBackup::TmpMainFile);
    if (!session.tmpMain) {
        HLK_ERROR("HLKServer xactSize(): CreateBFMFile() TmpMain failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return abnormalEnd();
    }
    session.tmpScratch = session.backup->CreateBFMFile(CBFMBackup::TmpScratchFile);
    if (!session.tmpScratch) {
        HLK_ERROR("HLKServer xactSize(): CreateBFMFile() TmpScratch failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return abnormalEnd();
    }

    session.scratchCount = 0;
    session.scratchBytes = 0;
    session.mainCount = 0;
    session.mainBytes = 0;
    if (sendResponse(session.socket, SFS_RSP_OK) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    session.state = SessionData::kStateClusters;
    HLK_NOTIFY(NotifyBackupStarted(serverId.c_str(), estimatedMB));
    HLK_DEBUG("HLKServer xactSize(): SIZE command completed normally.\n");
    return 0;
}

int HLKServer::xactCluster(SessionData& session)
{
    std::uint8_t header[HEADER_SIZE];
    if (fillBuffer(session, header, sizeof header) != 0) {
        HLK_ERROR("HLKServer xactCluster(): Unable to get CLUSTER command options.\n");
        return -1;
    }
    const std::uint32_t blockID = GetBE32(header);
    const std::uint32_t mode = GetBE32(header + 4);
    const std::uint32_t length = GetBE32(header + 8);
    // The buffer is only there once a HELLO was accepted; a refused incremental leaves the
    // announced clusterSize without one.
    if (length > session.clusterSize || length > session.clusterBuffer.size()) {
        HLK_ERROR("HLKServer xactCluster(): Extracted cluster size (%d) does not match expected (%d).\n",
                  static_cast<int>(length), static_cast<int>(session.clusterSize));
        return -1;
    }
    if (fillBuffer(session, session.clusterBuffer.data(), length) != 0) {
        HLK_ERROR("HLKServer xactCluster(): Unable to fill CLUSTER buffer with the data.\n");
        return -1;
    }
    if (session.state != SessionData::kStateClusters) {
        HLK_ERROR("HLKServer xactCluster(): Incorrect state (%d) for CLUSTER command (wanted %d).\n",
                  static_cast<int>(session.state), static_cast<int>(SessionData::kStateClusters));
        return -1;
    }

    const std::uint64_t recordSize = HEADER_SIZE + std::uint64_t(length);
    if (mode & SFS_MODE_SCRATCH) {
        // Index offsets are 32-bit: a scratch file may not grow past them.
        if (session.scratchBytes + recordSize > 0xFFFFFFFFull) {
            HLK_ERROR("HLKServer xactCluster(): Unable to add block ID (%d) to scratch file.\n", static_cast<int>(blockID));
            return -1;
        }
        if (addScratchBlock(session, blockID, session.scratchBytes) != 0) {
            HLK_ERROR("HLKServer xactCluster(): Unable to add block ID (%d) to scratch file.\n", static_cast<int>(blockID));
            return -1;
        }
        if (writeClusterBlk(*session.tmpScratch, header, session.clusterBuffer.data(), length) != 0) {
            HLK_ERROR("HLKServer xactCluster(): Unable to write block header and data for blockID %d to scratch file.\n",
                      static_cast<int>(blockID));
            return -1;
        }
        session.scratchCount += 1;
        session.scratchBytes += static_cast<std::uint32_t>(recordSize);
    } else if (mode & SFS_MODE_MAIN) {
        if (writeClusterBlk(*session.tmpMain, header, session.clusterBuffer.data(), length) != 0) {
            HLK_ERROR("HLKServer xactCluster(): Unable to write block header and data to main backup file.\n");
            return -1;
        }
        session.mainCount += 1;
        session.mainBytes += static_cast<std::uint32_t>(recordSize);
    } else {
        HLK_ERROR("HLKServer xactCluster(): Invalid backup mode 0x%x.\n", mode);
        return -1;
    }

    session.receivedCount += 1;
    if (session.receivedCount % 250 == 0)
        HLK_NOTIFY(NotifyProgress(Percent(session.receivedCount, session.estimate)));
    return 0;
}

int HLKServer::addScratchBlock(SessionData& session, std::uint32_t blockID, std::uint32_t offset)
{
    if (session.indexCapacity <= session.scratchCount ||
        session.scratchIndex.size() < static_cast<std::size_t>(session.indexCapacity)) {
        const std::int64_t capacity = (std::int64_t(session.indexCapacity) + 1) * 2;
        try {
            if (capacity > 0x7FFFFFFF)
                throw std::bad_alloc();
            session.scratchIndex.resize(static_cast<std::size_t>(capacity));
        } catch (const std::bad_alloc&) {
            HLK_INTERNAL();
            return -1;
        }
        session.indexCapacity = static_cast<std::int32_t>(capacity);
    }
    session.scratchIndex[static_cast<std::size_t>(session.scratchCount)] = ScratchIndexEntry{blockID, offset};
    return 0;
}

int HLKServer::writeClusterBlk(CBFMFile& file, const std::uint8_t* header, const std::uint8_t* data,
                               std::uint32_t length)
{
    std::uint32_t written = 0;
    bool ok = true;
    if (header)
        ok = file.Write(header, HEADER_SIZE, written);
    if (ok && length > 0)
        ok = file.Write(data, length, written);
    if (!ok) {
        HLK_ERROR("HLKServer writeClusterBlk(): failed\n");
        return -1;
    }
    return 0;
}

int HLKServer::xactDone(SessionData& session)
{
    HLK_DEBUG("HLKServer xactDone(): DONE command received.\n");
    if (session.state == SessionData::kStateClusters) {
        if (sendResponse(session.socket, SFS_RSP_OK) != 0) {
            HLK_INTERNAL();
            return -1;
        }
        closeSocket(session);
        session.state = SessionData::kStateDone;
        HLK_DEBUG("HLKServer xactDone(): DONE command completed - socket closed.\n");
        HLK_DEBUG("HLKServer xactDone(): Stats: Est=%d Main=%d Scratch=%d Total=%d (%d).\n", session.estimate,
                  session.mainCount, session.scratchCount, session.receivedCount,
                  session.mainCount + session.scratchCount);
        HLK_NOTIFY(NotifyBackupTransferDone(true));
        return 0;
    }
    HLK_ERROR("HLKServer xactDone(): Incorrect state (%d) for DONE command (wanted %d).\n",
              static_cast<int>(session.state), static_cast<int>(SessionData::kStateClusters));
    if (sendResponse(session.socket, SFS_RSP_ERROR) == 0)
        HLK_NOTIFY(NotifyBackupTransferDone(false));
    else
        HLK_INTERNAL();
    return -1;
}

// ---- completion and merging ----------------------------------------------------------------

int HLKServer::compareBlockIDs(const ScratchIndexEntry& a, const ScratchIndexEntry& b)
{
    if (a.blockID < b.blockID)
        return -1;
    return a.blockID == b.blockID ? 0 : 1;
}

int HLKServer::finishBackup(SessionData& session)
{
    int result = -1;
    std::unique_ptr<CBFMFile> mergeFile;
    // Closed only after the backup is reported done: closing gives their disk space back,
    // which for files of gigabytes takes as long as much of the merge.
    std::unique_ptr<CBFMFile> replacedImage;
    std::unique_ptr<CBFMFile> tmpMain;
    std::unique_ptr<CBFMFile> tmpScratch;

    HLK_DEBUG("HLKServer finishBackup(): Processing backup: Sort scratch\n");
    HLK_NOTIFY(NotifySaveBackupStarted());
    // Stable, so scratch clusters of one blockID keep their arrival order.
    std::stable_sort(session.scratchIndex.begin(), session.scratchIndex.begin() + session.scratchCount,
                     [](const ScratchIndexEntry& a, const ScratchIndexEntry& b) { return compareBlockIDs(a, b) < 0; });

    do {
        HLK_DEBUG("HLKServer finishBackup(): Processing backup: Create output file\n");
        mergeFile = session.backup->CreateBFMFile(CBFMBackup::TmpMergeFile);
        if (!mergeFile) {
            HLK_ERROR("HLKServer finishBackup(): CreateBFMFile() TmpMerge failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            break;
        }
        const std::uint32_t words[5] = {session.serialNumber, session.clusterSize, session.headerParam1,
                                        session.headerParam2, session.headerParam3};
        if (writeBackupHeader(*mergeFile, words) != 0) {
            HLK_ERROR("HLKServer finishBackup(): writeBackupHeader() failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            break;
        }
        // Written data may only show a write failure (a full disk) when it is handed over.
        if (!session.tmpMain->Flush() || !session.tmpScratch->Flush() || session.tmpMain->Seek(0, 0) != 0) {
            HLK_ERROR("HLKServer finishBackup(): Seek() TmpMain failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            break;
        }
        if (session.full) {
            HLK_DEBUG("HLKServer finishBackup(): Processing backup: Scratch merge\n");
            if (mergeFullBackup(session, *mergeFile) != 0) {
                HLK_ERROR("HLKServer finishBackup(): mergeFullBackup() failed\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_FINALIZE));
                break;
            }
        } else {
            HLK_DEBUG("HLKServer finishBackup(): Processing backup: 3-Way incremental merge\n");
            if (mergeIncrBackup(session, *mergeFile) != 0) {
                HLK_ERROR("HLKServer finishBackup(): mergeIncrBackup() failed\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_FINALIZE));
                break;
            }
        }
        mergeFile.reset();
        if (!session.backup->CommitMerge(session.full, &replacedImage)) {
            HLK_ERROR("HLKServer finishBackup(): BFMBackup CommitMerge() failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_FINALIZE));
            break;
        }
        if (session.full && !session.server->CommitNewFull(session.backup->GetName())) {
            HLK_ERROR("HLKServer finishBackup(): BFMServer CommitNewFull() failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_FINALIZE));
            break;
        }
        HLK_DEBUG("HLKServer finishBackup(): Backup operation completed normally!\n");
        result = 0;
    } while (false);

    mergeFile.reset();
    tmpMain = std::move(session.tmpMain);
    tmpScratch = std::move(session.tmpScratch);
    releaseBackup(session);  // deletes the temporary files by name; they stay open here
    session.server.reset();
    HLK_NOTIFY(NotifySaveBackupDone(result == 0));
    replacedImage.reset();
    tmpMain.reset();
    tmpScratch.reset();
    return result;
}

int HLKServer::writeBackupHeader(CBFMFile& file, const std::uint32_t words[5])
{
    std::uint8_t bytes[SFS_BACKUP_HEADER_SIZE];
    for (int i = 0; i < 5; ++i)
        PutLE32(bytes + 4 * i, words[i]);
    std::uint32_t written = 0;
    if (file.Write(bytes, sizeof bytes, written))
        return 0;

    char message[256];
    const std::string text = hl::Os().ErrorText(hl::Platform::LastError());
    if (!text.empty())
        std::snprintf(message, sizeof message, "HLK Thread writeBackupHeader(): %s", text.c_str());
    else
        std::snprintf(message, sizeof message, "%s",
                      "HLK Thread writeBackupHeader(): An error occured writing the backup header to file\n");
    HLK_ERROR("%s", message);
    return -1;
}

bool HLKServer::readRecordHeader(CBFMFile& file, std::uint8_t header[12], bool& ended)
{
    ended = false;
    std::uint32_t got = 0;
    if (file.Read(header, HEADER_SIZE, got))
        return true;
    // Nothing at all left is the end of the records; part of a header is damage.
    if (got == 0 && file.Seek(0, 1) >= file.GetSize())
        ended = true;
    return false;
}

void HLKServer::countMergedRecord(SessionData& session, std::int32_t total)
{
    session.mergeCount += 1;
    if (session.mergeCount % 250 == 0)
        HLK_NOTIFY(NotifyProgress(Percent(session.mergeCount, total)));
}

int HLKServer::copyMainRecord(SessionData& session, CBFMFile& mergeFile, const std::uint8_t* header)
{
    const std::uint32_t length = GetBE32(header + 8);
    if (length > session.clusterSize) {
        HLK_INTERNAL();
        return -1;
    }
    // Header and data side by side, so the record goes out in one write.
    std::uint8_t* record = session.clusterBuffer.data();
    std::memcpy(record, header, HEADER_SIZE);
    std::uint32_t got = 0;
    if (length > 0 && !session.tmpMain->Read(record + HEADER_SIZE, length, got)) {
        HLK_INTERNAL();
        return -1;
    }
    if (writeClusterBlk(mergeFile, nullptr, record, std::uint32_t(HEADER_SIZE) + length) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}

int HLKServer::copyScratchEntry(SessionData& session, CBFMFile& mergeFile, std::int32_t p)
{
    const ScratchIndexEntry& entry = session.scratchIndex[static_cast<std::size_t>(p)];
    CBFMFile& scratch = *session.tmpScratch;
    if (scratch.Seek(entry.offset, 0) != std::int64_t(entry.offset)) {
        HLK_INTERNAL();
        return -1;
    }
    // One read of a whole cluster's room: the record's own length is only known from its
    // header, and a shorter record (or the last one) simply reads less.
    std::uint8_t* record = session.clusterBuffer.data();
    std::uint32_t got = 0;
    scratch.Read(record, std::uint32_t(HEADER_SIZE) + session.clusterSize, got);
    if (got < HEADER_SIZE || GetBE32(record) != entry.blockID) {
        HLK_INTERNAL();
        return -1;
    }
    const std::uint32_t length = GetBE32(record + 8);
    if (length > session.clusterSize || got < HEADER_SIZE + length) {
        HLK_INTERNAL();
        return -1;
    }
    if (writeClusterBlk(mergeFile, nullptr, record, std::uint32_t(HEADER_SIZE) + length) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}

int HLKServer::mergeFullBackup(SessionData& session, CBFMFile& mergeFile)
{
    const std::int32_t total = session.mainCount + session.scratchCount;
    std::int32_t p = 0;
    for (;;) {
        std::uint8_t header[HEADER_SIZE];
        bool ended = false;
        if (!readRecordHeader(*session.tmpMain, header, ended)) {
            if (!ended) {
                HLK_INTERNAL();
                return -1;
            }
            break;
        }
        const std::uint32_t m = GetBE32(header);
        while (p < session.scratchCount && m > session.scratchIndex[static_cast<std::size_t>(p)].blockID) {
            if (copyScratchEntry(session, mergeFile, p) != 0)
                return -1;
            ++p;
            countMergedRecord(session, total);
        }
        if (copyMainRecord(session, mergeFile, header) != 0)
            return -1;
        countMergedRecord(session, total);
    }
    // Scratch clusters beyond the last main cluster belong at the end, not in the bin.
    for (; p < session.scratchCount; ++p) {
        if (copyScratchEntry(session, mergeFile, p) != 0)
            return -1;
        countMergedRecord(session, total);
    }
    if (!mergeFile.Sync()) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}

int HLKServer::mergeIncrStep(SessionData& session, MergeOutput& out, MainCursor& main, std::uint32_t oldID,
                             bool oldEnded, std::int32_t p, bool& superseded)
{
    superseded = false;
    for (;;) {
        if (!main.loaded && !main.exhausted) {
            bool ended = false;
            if (readRecordHeader(*session.tmpMain, main.header, ended)) {
                main.loaded = true;
            } else if (ended) {
                main.exhausted = true;
            } else {
                HLK_INTERNAL();
                return -1;
            }
        }
        const bool haveMain = main.loaded;
        const bool haveScratch = p < session.scratchCount;
        if (!haveMain && !haveScratch)
            break;
        const std::uint32_t m = haveMain ? GetBE32(main.header) : 0;
        const std::uint32_t s = haveScratch ? session.scratchIndex[static_cast<std::size_t>(p)].blockID : 0;

        if (!oldEnded && ((haveMain && m == oldID) || (haveScratch && s == oldID)))
            superseded = true;

        if (haveMain && (oldEnded || m <= oldID) && (!haveScratch || m < s)) {
            if (copyMainRecord(session, *out.file, main.header) != 0)
                return -1;
            main.loaded = false;
            out.wroteNew = true;
            out.lastNewID = m;
        } else {
            if (!haveScratch || (!oldEnded && oldID < s))
                break;
            if (copyScratchEntry(session, *out.file, p) != 0)
                return -1;
            ++p;
            out.wroteNew = true;
            out.lastNewID = s;
        }
        countMergedRecord(session, out.total);
    }
    // Every stored record of a blockID that a new record carries is replaced, not only the
    // first of them: a stale duplicate after the new data would win on restore.
    if (!oldEnded && out.wroteNew && out.lastNewID == oldID)
        superseded = true;
    return p;
}

int HLKServer::mergeIncrBackup(SessionData& session, CBFMFile& mergeFile)
{
    std::unique_ptr<CBFMFile> old = session.backup->OpenBFMFile(CBFMBackup::BackupFile);
    if (!old) {
        HLK_ERROR("HLKServer mergeIncrBackup(): OpenBFMFile() Backup failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return -1;
    }
    std::uint32_t stored[5];
    if (!readBackupHeader(*old, stored)) {
        HLK_INTERNAL();
        return -1;
    }
    const std::uint32_t expected[5] = {session.serialNumber, session.clusterSize, session.headerParam1,
                                       session.headerParam2, session.headerParam3};
    for (int i = 0; i < 5; ++i) {
        if (stored[i] != expected[i]) {
            HLK_ERROR("HLKServer mergeIncrBackup(): Validation failed\n");
            return -1;
        }
    }
    const std::int64_t oldSize = old->GetSize();
    const std::uint64_t oldRecords =
        oldSize > 20 ? std::uint64_t(oldSize - 20) / (std::uint64_t(session.clusterSize) + 12) : 0;
    session.oldEstimate = static_cast<std::int32_t>(static_cast<std::uint32_t>(oldRecords));

    MergeOutput out{&mergeFile, session.oldEstimate + session.mainCount + session.scratchCount};
    MainCursor main;
    std::int32_t p = 0;
    for (;;) {
        std::uint8_t header[HEADER_SIZE];
        bool ended = false;
        bool superseded = false;
        if (!readRecordHeader(*old, header, ended)) {
            if (!ended) {
                HLK_INTERNAL();
                return -1;
            }
            p = mergeIncrStep(session, out, main, 0xFFFFFFFF, true, p, superseded);
            if (p < 0) {
                HLK_INTERNAL();
                return -1;
            }
            break;
        }
        const std::uint32_t oldID = GetBE32(header);
        const std::uint32_t length = GetBE32(header + 8);
        p = mergeIncrStep(session, out, main, oldID, false, p, superseded);
        if (p < 0) {
            HLK_INTERNAL();
            return -1;
        }
        if (length > session.clusterSize) {
            HLK_INTERNAL();
            return -1;
        }
        std::uint8_t* record = session.clusterBuffer.data();
        std::memcpy(record, header, HEADER_SIZE);
        std::uint32_t got = 0;
        if (length > 0 && !old->Read(record + HEADER_SIZE, length, got)) {
            HLK_INTERNAL();
            return -1;
        }
        if (!superseded && writeClusterBlk(mergeFile, nullptr, record, std::uint32_t(HEADER_SIZE) + length) != 0) {
            HLK_INTERNAL();
            return -1;
        }
        countMergedRecord(session, out.total);
    }
    if (!mergeFile.Sync()) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}

// ---- inquiry and restore -------------------------------------------------------------------

bool HLKServer::readBackupHeader(CBFMFile& file, std::uint32_t header[5])
{
    std::uint8_t bytes[SFS_BACKUP_HEADER_SIZE];
    std::uint32_t got = 0;
    if (!file.Read(bytes, sizeof bytes, got))
        return false;
    for (int i = 0; i < 5; ++i)
        header[i] = GetLE32(bytes + 4 * i);
    return true;
}

bool HLKServer::validateBackupHeader(const std::uint32_t header[5])
{
    if (header[1] <= SFS_MAX_CLUSTER_SIZE)
        return true;
    HLK_ERROR("HLKServer validateBackupHeader(): clusterSize too big.\n");
    return false;
}

bool HLKServer::sendBackupHeader(const std::uint32_t header[5], int socket)
{
    std::uint8_t bytes[SFS_BACKUP_HEADER_SIZE];
    for (int i = 0; i < 5; ++i)
        PutBE32(bytes + 4 * i, header[i]);
    if (socketWrite(socket, bytes, sizeof bytes) != 0) {
        HLK_NOTIFY(NotifyError(HLK_ERR_COMMUNICATION));
        return false;
    }
    return true;
}

bool HLKServer::getBackupSerialNumber(CBFMBackup& backup, std::uint32_t& serial)
{
    std::unique_ptr<CBFMFile> file = backup.OpenBFMFile(CBFMBackup::BackupFile);
    if (!file) {
        HLK_ERROR("HLKServer getBackupSerialNumber(): Error Opening backup file.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    std::uint32_t header[5];
    if (!readBackupHeader(*file, header)) {
        HLK_ERROR("HLKServer getBackupSerialNumber(): Error reading backup file header.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    serial = header[0];
    return true;
}

bool HLKServer::findBackupForRestore(SessionData& session, bool prompt)
{
    if (session.backup)
        return true;
    const std::string requester = formatServerId(session.serialNumber);
    std::string serverName;
    std::string backupName;
    CBFMRepository* repo = Repository();
    if (!repo || !repo->GetRestoreBackup(requester, serverName, backupName)) {
        HLK_ERROR("HLKServer findBackupForRestore(): No backup available for restore.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    session.server = repo->GetServer(serverName);
    if (!session.server) {
        HLK_ERROR("HLKServer findBackupForRestore(): GetServer() failed for %s\n", serverName.c_str());
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    session.backup = session.server->GetBackup(backupName);
    if (!session.backup) {
        HLK_ERROR("HLKServer findBackupForRestore(): GetBackup() failed for %s\n", backupName.c_str());
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    if (prompt) {
        std::uint32_t backupSerial = 0;
        if (!getBackupSerialNumber(*session.backup, backupSerial))
            return false;
        GUIComm* gui = GUIComm::Instance();
        bool accepted = false;
        // Without a window nobody can accept the restore.
        if (gui == nullptr ||
            !gui->PromptForRestore(session.serialNumber, backupSerial, session.backup->LastBackupDate(), accepted) ||
            !accepted)
            return false;
    }
    return true;
}

int HLKServer::xactInquiry(SessionData& session)
{
    HLK_DEBUG("HLKServer xactInquiry(): Processing INQUIRY header data.\n");
    std::uint8_t payload[SFS_SERIAL_SIZE];
    if (fillBuffer(session, payload, sizeof payload) != 0) {
        HLK_ERROR("HLKServer xactInquiry(): Error filling command buffer.\n");
        if (sendResponse(session.socket, SFS_RSP_ERROR) != 0)
            HLK_INTERNAL();
        return -1;
    }
    session.serialNumber = GetBE32(payload);
    HLK_DEBUG("HLKServer xactInquiry(): Processing INQUIRY for S/N=0x%08X.\n", session.serialNumber);

    if (!findBackupForRestore(session, true)) {
        HLK_ERROR("HLKServer xactInquiry(): No backup available for restore.\n");
        sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }
    if (session.state != SessionData::kStateIdle)
        HLK_WARN("HLKServer xactInquiry(): Incorrect state for INQUIRY command.\n");
    HLK_DEBUG("HLKServer xactInquiry(): INQUIRY command itself sucessful.\n");
    if (sendResponse(session.socket, SFS_RSP_OK) != 0) {
        HLK_ERROR("HLKServer xactInquiry(): Error sending success response.\n");
        return -1;
    }
    return 0;
}

int HLKServer::xactRestore(SessionData& session)
{
    HLK_DEBUG("HLKServer xactRestore(): Processing RESTORE header data.\n");
    std::uint8_t payload[SFS_SERIAL_SIZE];
    if (fillBuffer(session, payload, sizeof payload) != 0) {
        HLK_ERROR("HLKServer xactRestore(): xactRestore(): Error filling command buffer.\n");
        return -1;
    }
    session.serialNumber = GetBE32(payload);

    if (!findBackupForRestore(session, false)) {
        HLK_ERROR("HLKServer xactRestore(): No backup available for restore.\n");
        sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }
    if (session.state != SessionData::kStateIdle)
        HLK_WARN("HLKServer xactRestore(): Incorrect state for RESTORE command.\n");
    HLK_DEBUG("HLKServer xactRestore(): RESTORE command itself sucessful.\n");
    if (sendResponse(session.socket, SFS_RSP_OK) != 0) {
        HLK_ERROR("HLKServer xactRestore(): xactRestore(): Error sending success response.\n");
        return -1;
    }
    return 0;
}

int HLKServer::finishInquiry(SessionData& session)
{
    HLK_DEBUG("HLKServer finishInquiry(): Processing INQUIRY: Opening backup file.\n");
    std::unique_ptr<CBFMFile> file = session.backup->OpenBFMFile(CBFMBackup::BackupFile);
    if (!file) {
        HLK_ERROR("HLKServer finishInquiry(): OpenBFMFile() failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return -1;
    }
    std::uint32_t header[5];
    int result = -1;
    if (!readBackupHeader(*file, header)) {
        HLK_ERROR("HLKServer finishInquiry(): Error reading backup file header.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
    } else if (!validateBackupHeader(header)) {
        HLK_ERROR("HLKServer finishInquiry(): Error validating backup file header.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
    } else if (!sendBackupHeader(header, session.socket)) {
        HLK_ERROR("HLKServer finishInquiry(): Error sending backup header info to server.\n");
    } else {
        HLK_DEBUG("HLKServer finishInquiry(): Processing INQUIRY: Transfer complete\n");
        result = 0;
    }
    return result;
}

int HLKServer::finishRestore(SessionData& session)
{
    HLK_DEBUG("HLKServer finishRestore(): Processing restore: Opening original backup\n");
    std::unique_ptr<CBFMFile> file = session.backup->OpenBFMFile(CBFMBackup::BackupFile);
    if (!file) {
        HLK_ERROR("HLKServer finishRestore(): OpenBFMFile() failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return -1;
    }
    const std::int64_t fileSize = file->GetSize();
    bool success = false;
    std::uint32_t header[5];

    do {
        if (!readBackupHeader(*file, header)) {
            HLK_ERROR("HLKServer finishRestore(): Error reading backup file header.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            break;
        }
        if (!validateBackupHeader(header)) {
            HLK_ERROR("HLKServer finishRestore(): Error validating backup file header.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            break;
        }
        if (!sendBackupHeader(header, session.socket)) {
            HLK_ERROR("HLKServer finishRestore(): Error sending backup header info to server.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_COMMUNICATION));
            break;
        }

        session.clusterSize = header[1];
        const std::uint64_t totalClusters =
            session.clusterSize ? std::uint64_t(fileSize) / session.clusterSize : 0;
        // Records are assembled (CLUSTER word, record header as stored, data) one after the
        // other in one send buffer and leave in large sends: a stream of small clusters would
        // otherwise cost one system call each.
        const std::size_t recordMax = 4 + HEADER_SIZE + std::size_t(session.clusterSize);
        std::vector<std::uint8_t> buffer;
        try {
            buffer.resize(std::max<std::size_t>(256 * 1024, recordMax));
        } catch (const std::bad_alloc&) {
            HLK_ERROR("HLKServer finishRestore(): Unable to allocate data buffers.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_INTERNAL));
            break;
        }

        HLK_DEBUG("HLKServer finishRestore(): Transferring all...\n");
        HLK_NOTIFY(NotifyRestoreStarted(formatServerId(session.serialNumber).c_str(),
                                        static_cast<std::uint32_t>(std::uint64_t(fileSize) / 1048576)));

        std::size_t pending = 0;
        auto flush = [&]() {
            if (pending == 0)
                return true;
            const bool ok = socketWrite(session.socket, buffer.data(), pending) == 0;
            pending = 0;
            if (!ok) {
                HLK_ERROR("HLKServer finishRestore(): Error writing data to server.\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_COMMUNICATION));
            }
            return ok;
        };

        std::uint64_t bytesSent = 0;
        std::int64_t lastReported = -1;
        bool sendFailed = false;
        for (;;) {
            if (buffer.size() - pending < recordMax && !flush()) {
                sendFailed = true;
                break;
            }
            std::uint8_t* record = buffer.data() + pending;
            std::uint8_t* recordHeader = record + 4;
            std::uint8_t* data = recordHeader + HEADER_SIZE;
            bool ended = false;
            if (!readRecordHeader(*file, recordHeader, ended)) {
                if (ended) {
                    HLK_DEBUG("HLKServer finishRestore(): Processing restore: Transfer complete\n");
                    success = true;
                } else {
                    HLK_ERROR("HLKServer finishRestore(): Error reading file.\n");
                    HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
                }
                break;
            }
            const std::uint32_t length = GetBE32(recordHeader + 8);
            std::uint32_t got = 0;
            // A record longer than the header's clusterSize is damage: it must not overrun.
            if (length > session.clusterSize || (length > 0 && !file->Read(data, length, got))) {
                HLK_ERROR("HLKServer finishRestore(): Error reading file.\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
                break;
            }
            PutBE32(record, SFS_CMD_CLUSTER);
            pending += 4 + HEADER_SIZE + length;

            bytesSent += length;
            const std::uint64_t clustersSent = session.clusterSize ? bytesSent / session.clusterSize : 0;
            if (clustersSent % 250 == 0 && totalClusters > 0 && std::int64_t(clustersSent) != lastReported) {
                lastReported = std::int64_t(clustersSent);
                HLK_NOTIFY(NotifyProgress(Percent(std::int64_t(clustersSent), std::int64_t(totalClusters))));
            }
        }
        // What was read before the end (or before a damaged record) still goes out.
        if (!sendFailed && !flush())
            success = false;
    } while (false);

    HLK_NOTIFY(NotifyRestoreDone(success));
    return success ? 0 : -1;
}
