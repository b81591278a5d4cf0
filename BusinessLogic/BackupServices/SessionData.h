// SessionData: the state of one connection's conversation, owned and used by its worker thread
// alone (see HLKServer). The backup session, the merge engine, the wire helpers and the
// restore handlers all work on it.
#pragma once

#include "BackupDataLayout.h"
#include "HLKBackup.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class CBFMServer;
class CBFMBackup;
class CBFMFile;

struct ScratchIndexEntry {
    std::uint32_t blockID;
    std::uint32_t offset; // of the cluster's record in TmpScratch
};

// Where a backup conversation stands. The values are those of the command that led there and
// appear as numbers in the "Incorrect state" log lines.
enum class SessionState : std::uint32_t {
    Idle = 0xFFFFFFFF,     // no accepted HELLO (also inquiry and restore)
    Hello = 0x55AA0001,    // HELLO accepted, SIZE expected
    Clusters = 0x55AA0003, // SIZE accepted, clusters and DONE expected
    Done = 0x55AA0004,     // conversation completed
};

struct SessionData {
    SessionData();
    ~SessionData();
    SessionData(const SessionData&) = delete;
    SessionData& operator=(const SessionData&) = delete;

    void closeSocket();
    // Closes the transfer files, deletes the attached backup record's temporary files and lets
    // the record go.
    void releaseBackup();
    // releaseBackup, the server record and the buffers.
    void release();
    // The backup header of this transfer's image: the HELLO's words.
    BackupDataLayout::BackupHeader backupHeader() const;

    int socket = -1;
    SessionState state = SessionState::Idle;
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
    bool acknowledged = false; // DONE was answered OK: the Quarnex server counts the backup as stored
    HLKTimeouts timeouts;
    // Bytes received ahead of the reads that want them, so small messages cost no system call.
    std::vector<std::uint8_t> rxBuffer;
    std::size_t rxPos = 0;
    std::size_t rxEnd = 0;
};
