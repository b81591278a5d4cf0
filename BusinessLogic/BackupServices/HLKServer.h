// HLKServer: the listener and the connection workers of the backup service.
//
// The listener thread (HLK_MainThread) accepts one Quarnex connection at a time and hands it
// to a worker thread (HLK_BackupWorker), which reads command words and hands them to the
// backup conversation (HLKBackupSession) or to inquiry and restore (HLKRestore). All state of
// one conversation lives in its SessionData, used by the worker thread alone. Every socket
// and file call goes through the platform layer.
#pragma once

#include "HLKBackup.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CBFMRepository;
class CPeerRules;
class GUIComm;

// One record per service thread (the listener's and each worker's); log lines call it
// "SyncData". Shared between the thread and its owner, so a thread that outlives its owner's
// wait keeps a valid record until it really ends.
struct HLK_Thread_Sync_t {
    HLK_Thread_Sync_t();
    ~HLK_Thread_Sync_t();
    HLK_Thread_Sync_t(const HLK_Thread_Sync_t&) = delete;
    HLK_Thread_Sync_t& operator=(const HLK_Thread_Sync_t&) = delete;

    bool StopRequested();
    void RequestStop();
    std::uint64_t ThreadId();
    void SetThreadId(std::uint64_t id);

    std::mutex lock; // guards stopFlag and threadId, held for one read or write
    bool stopFlag = false;
    std::uint64_t threadId = 0; // 0 once a worker's command loop ended: reapable
    int startedEvent = -1;      // auto-reset, signalled once the thread runs
    int failedEvent = -1;       // auto-reset, signalled when the thread could not start
    int endedEvent = -1;        // manual-reset, signalled as the thread's very last act
    int stopEvent = -1;         // manual-reset, set with the stop flag: wakes a waiting listener
    std::thread thread;
};

using HLK_THREAD_SYNC_VEC = std::vector<std::shared_ptr<HLK_Thread_Sync_t>>;

class HLKServer {
public:
    // What a service thread runs; it owns whatever it captured (a worker: its socket).
    using ThreadRoutine = std::function<int()>;

    // What a service thread works with, handed from HLK_Reset to the listener and from the
    // listener to each worker: the repository and the window channel of the service that
    // started it. A thread left behind by a stop that timed out keeps them valid after the
    // window released them (and a released channel reaches nothing).
    struct Context {
        std::shared_ptr<CBFMRepository> repository;
        std::shared_ptr<GUIComm> gui;
        std::shared_ptr<CPeerRules> rules; // null: every peer is served
    };

    struct MainThreadArgument {
        int port;
        std::shared_ptr<HLK_Thread_Sync_t> sync;
        std::atomic<int>* boundPort; // where the listener reports its bound port (may be null)
        Context context;
        std::string address; // local address to listen on, "" for all
        // Run once the port is bound and the start reported, before the first connection is
        // accepted (connections wait in the accept queue meanwhile); may be empty.
        std::function<void()> beforeFirstAccept;
    };
    struct WorkerArgument {
        int socket;
        std::shared_ptr<HLK_Thread_Sync_t> sync;
        Context context;
        std::string peer; // dotted address of the peer
    };

    // The peer rules of the calling service thread (null when it has none or for any other
    // thread).
    static std::shared_ptr<CPeerRules> PeerRules();

    // Process-wide time-outs; threads take a copy when they start.
    static void SetTimeouts(const HLKTimeouts& timeouts);
    static HLKTimeouts GetTimeouts();

    // ---- threads -------------------------------------------------------------------------
    // 0 once the thread signalled its started event. *threadCreated tells whether a thread was
    // created at all: one that then failed or timed out still owns its routine.
    static int doCreateThread(const std::shared_ptr<HLK_Thread_Sync_t>& sync, ThreadRoutine routine,
                              bool* threadCreated = nullptr);
    // Stops one thread: sets its stop flag and waits up to waitMs. True when it ended; on a
    // time-out the thread is left running with its own reference to the record.
    static bool stopThread(const std::shared_ptr<HLK_Thread_Sync_t>& sync, int waitMs, bool& timedOut);
    static int HLK_MainThread(const MainThreadArgument& argument);
    // Serves one connection on the calling thread; closes the socket when done.
    static int HLK_BackupWorker(const WorkerArgument& argument);
    // Stops every worker of the table and empties it; false when one did not stop in time.
    static bool shutdownThreads(HLK_THREAD_SYNC_VEC& workers);

private:
    static int doAcceptClientConnection(int listenSocket, HLK_THREAD_SYNC_VEC& workers);
    // Drops the workers whose command loop has ended.
    static void reapFinishedWorkers(HLK_THREAD_SYNC_VEC& workers);
};
