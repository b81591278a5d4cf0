// HLKServer: the listener, the connection workers and every handler of the backup service.
//
// The listener thread (HLK_MainThread) accepts one Quarnex connection at a time and hands it
// to a worker thread (HLK_BackupWorker), which reads command words and runs the backup,
// inquiry and restore conversations. All state of one conversation lives in its SessionData,
// used by the worker thread alone. Every socket and file call goes through the platform layer.
#pragma once

#include "HLKBackup.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CBFMServer;
class CBFMBackup;
class CBFMFile;

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

    std::mutex lock;          // guards stopFlag and threadId, held for one read or write
    bool stopFlag = false;
    std::uint64_t threadId = 0; // 0 once a worker's command loop ended: reapable
    int startedEvent = -1;    // auto-reset, signalled once the thread runs
    int failedEvent = -1;     // auto-reset, signalled when the thread could not start
    int endedEvent = -1;      // manual-reset, signalled as the thread's very last act
    std::thread thread;
};

using HLK_THREAD_SYNC_VEC = std::vector<std::shared_ptr<HLK_Thread_Sync_t>>;

struct ScratchIndexEntry {
    std::uint32_t blockID;
    std::uint32_t offset; // of the cluster's record in TmpScratch
};

// Conversation state of one worker.
struct SessionData {
    static constexpr std::uint32_t kStateIdle = 0xFFFFFFFF;
    static constexpr std::uint32_t kStateHello = 0x55AA0001;
    static constexpr std::uint32_t kStateClusters = 0x55AA0003;
    static constexpr std::uint32_t kStateDone = 0x55AA0004;

    SessionData();
    ~SessionData();
    SessionData(const SessionData&) = delete;
    SessionData& operator=(const SessionData&) = delete;

    int socket = -1;
    std::uint32_t state = kStateIdle;
    bool full = false;
    std::unique_ptr<CBFMServer> server;
    std::unique_ptr<CBFMBackup> backup;
    std::unique_ptr<CBFMFile> tmpMain;
    std::unique_ptr<CBFMFile> tmpScratch;
    std::int32_t estimate = 0;
    std::vector<std::uint8_t> clusterBuffer; // clusterSize + a record header, reused for every cluster
    std::vector<ScratchIndexEntry> scratchIndex;
    std::int32_t indexCapacity = 0;
    std::int32_t scratchCount = 0;
    std::uint32_t scratchBytes = 0;
    std::int32_t mainCount = 0;
    std::uint32_t mainBytes = 0;
    std::uint32_t serialNumber = 0;
    std::uint32_t clusterSize = 0;
    std::uint32_t headerParam1 = 0;
    std::uint32_t headerParam2 = 0;
    std::uint32_t headerParam3 = 0;
    std::int32_t receivedCount = 0;
    std::int32_t mergeCount = 0;
    std::int32_t oldEstimate = 0;
    HLKTimeouts timeouts;
    // Bytes received ahead of the reads that want them, so small messages cost no system call.
    std::vector<std::uint8_t> rxBuffer;
    std::size_t rxPos = 0;
    std::size_t rxEnd = 0;
};

class HLKServer {
public:
    using ThreadRoutine = int (*)(void* argument);

    // Thread argument blocks; the receiving thread frees its block.
    struct MainThreadArgument {
        int port;
        std::shared_ptr<HLK_Thread_Sync_t> sync;
        std::atomic<int>* boundPort; // where the listener reports its bound port (may be null)
    };
    struct WorkerArgument {
        int socket;
        std::shared_ptr<HLK_Thread_Sync_t> sync;
    };

    // Process-wide time-outs; threads take a copy when they start.
    static void SetTimeouts(const HLKTimeouts& timeouts);
    static HLKTimeouts GetTimeouts();

    // ---- threads -------------------------------------------------------------------------
    static int doCreateThread(const std::shared_ptr<HLK_Thread_Sync_t>& sync, ThreadRoutine routine,
                              void* argument, bool* threadCreated = nullptr);
    // Stops one thread: sets its stop flag and waits up to waitMs. True when it ended; on a
    // time-out the thread is left running with its own reference to the record.
    static bool stopThread(const std::shared_ptr<HLK_Thread_Sync_t>& sync, int waitMs, bool& timedOut);
    static int HLK_MainThread(void* argument);
    static int HLK_BackupWorker(void* argument);
    static int doAcceptClientConnection(int listenSocket, HLK_THREAD_SYNC_VEC& workers);
    static bool shutdownThreads(HLK_THREAD_SYNC_VEC& workers);
    static void reapFinishedWorkers(HLK_THREAD_SYNC_VEC& workers);

    // ---- wire ----------------------------------------------------------------------------
    static std::string formatServerId(std::uint32_t serialNumber);
    static int sendResponse(int socket, std::uint32_t word);
    static int socketWrite(int socket, const void* buffer, std::size_t length);
    // >0 bytes read, 0 peer closed, -1 failure, -2 time-out.
    static std::int64_t socketRead(int socket, void* buffer, std::size_t length, int timeoutMs);
    static int fillBuffer(SessionData& session, void* buffer, std::size_t n);
    // The next command word, SFS_WAIT_STOPPED, or 0xFFFFFFFF (-1) when the wait failed.
    static std::uint32_t waitCommand(SessionData& session, HLK_Thread_Sync_t& sync);

    // ---- backup transfer -----------------------------------------------------------------
    static int xactHello(SessionData& session);
    static int xactSize(SessionData& session);
    static int xactCluster(SessionData& session);
    static int xactDone(SessionData& session);
    static int addScratchBlock(SessionData& session, std::uint32_t blockID, std::uint32_t offset);
    static int writeClusterBlk(CBFMFile& file, const std::uint8_t* header, const std::uint8_t* data,
                               std::uint32_t length);

    // ---- completion and merging ----------------------------------------------------------
    static int finishBackup(SessionData& session);
    static int mergeFullBackup(SessionData& session, CBFMFile& mergeFile);
    static int mergeIncrBackup(SessionData& session, CBFMFile& mergeFile);
    static int writeBackupHeader(CBFMFile& file, const std::uint32_t words[5]);
    static int compareBlockIDs(const ScratchIndexEntry& a, const ScratchIndexEntry& b);

    // ---- inquiry and restore -------------------------------------------------------------
    static int xactInquiry(SessionData& session);
    static int xactRestore(SessionData& session);
    static int finishInquiry(SessionData& session);
    static int finishRestore(SessionData& session);
    static bool findBackupForRestore(SessionData& session, bool prompt);
    static bool getBackupSerialNumber(CBFMBackup& backup, std::uint32_t& serial);
    static bool readBackupHeader(CBFMFile& file, std::uint32_t header[5]);
    static bool validateBackupHeader(const std::uint32_t header[5]);
    static bool sendBackupHeader(const std::uint32_t header[5], int socket);

private:
    // State of the incremental merge's TmpMain cursor, kept apart from the block IDs so that
    // every blockID value (0 and 0xFFFFFFFF included) merges like any other.
    struct MainCursor {
        std::uint8_t header[12] = {};
        bool loaded = false;
        bool exhausted = false;
    };
    struct MergeOutput {
        CBFMFile* file;
        std::int32_t total;   // progress divisor
        bool wroteNew = false;
        std::uint32_t lastNewID = 0;
    };

    static int mergeIncrStep(SessionData& session, MergeOutput& out, MainCursor& main,
                             std::uint32_t oldID, bool oldEnded, std::int32_t p, bool& superseded);
    static int copyScratchEntry(SessionData& session, CBFMFile& mergeFile, std::int32_t p);
    static int copyMainRecord(SessionData& session, CBFMFile& mergeFile, const std::uint8_t* header);
    static void countMergedRecord(SessionData& session, std::int32_t total);
    static bool readRecordHeader(CBFMFile& file, std::uint8_t header[12], bool& ended);
    // socketRead through the session's receive buffer.
    static std::int64_t receive(SessionData& session, void* buffer, std::size_t length, int timeoutMs);
    static void releaseBackup(SessionData& session);
    static void releaseSession(SessionData& session);
    static void closeSocket(SessionData& session);
};
