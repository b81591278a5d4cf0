// SessionData: the state of one connection's conversation, owned and used by its worker thread
// alone (see HLKServer). The backup session, the merge engine, the wire helpers and the
// restore handlers all work on it.
#pragma once

#include "BackupDataLayout.h"
#include "CBFMChecksum.h"
#include "HLKBackup.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CBFMServer;
class CBFMBackup;
class CBFMFile;

// Index entry of a scratch record that starts below 4 GiB in TmpScratch: 8 bytes, so that
// every backup whose scratch data fits there keeps to 8 bytes per scratch cluster.
struct ScratchIndexEntry {
    std::uint32_t blockID;
    std::uint32_t offset; // of the cluster's record in TmpScratch
};

// Index entry of a scratch record that starts at or beyond the switch point: 12 bytes, the
// offset split in two words so the entry needs no packing.
struct WideScratchIndexEntry {
    std::uint32_t blockID;
    std::uint32_t offsetLow;
    std::uint32_t offsetHigh;

    static WideScratchIndexEntry Make(std::uint32_t blockID, std::uint64_t offset)
    {
        return WideScratchIndexEntry{blockID, static_cast<std::uint32_t>(offset),
                                     static_cast<std::uint32_t>(offset >> 32)};
    }
    std::uint64_t offset() const { return std::uint64_t(offsetHigh) << 32 | offsetLow; }
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

    // Scratch records at or beyond this TmpScratch offset are indexed in wideScratchIndex,
    // the ones before it in scratchIndex. Offsets grow with arrival, so the narrow entries are
    // all older than the wide ones, and no entry is ever converted. The switch point is where
    // a narrow entry's offset ends; tests lower it (process-wide, for sessions made
    // afterwards) to cross it with small files. Values above 2^32 are taken as 2^32.
    static constexpr std::uint64_t kWideScratchOffset = 0x100000000ull;
    static void SetWideScratchOffset(std::uint64_t offset);
    static std::uint64_t WideScratchOffset();

    int socket = -1;
    std::string peerAddress;        // dotted IPv4 address of the peer
    bool refusedByPeerRule = false; // a peer rule refused the request (and said so itself)
    SessionState state = SessionState::Idle;
    bool full = false;
    std::unique_ptr<CBFMServer> server;
    std::unique_ptr<CBFMBackup> backup;
    std::unique_ptr<CBFMFile> tmpMain;
    std::unique_ptr<CBFMFile> tmpScratch;
    // Counts and byte counters are 64-bit: an image may hold far more than 2^31 records and
    // 4 GiB of data. The estimate is SIZE's unsigned word.
    std::int64_t estimate = 0;
    std::vector<std::uint8_t> clusterBuffer; // clusterSize + a record header, reused for every cluster
    // One entry per scratch cluster, in arrival order until sorted for the merge; the narrow
    // ones first (offsets below wideScratchFrom), then the wide ones. Together they hold
    // scratchCount entries.
    std::vector<ScratchIndexEntry> scratchIndex;
    std::vector<WideScratchIndexEntry> wideScratchIndex;
    std::uint64_t wideScratchFrom = WideScratchOffset();
    std::int32_t indexCapacity = 0; // entries reserved in scratchIndex
    std::int64_t scratchCount = 0;
    std::uint64_t scratchBytes = 0;
    std::int64_t mainCount = 0;
    std::uint64_t mainBytes = 0; // of the records in TmpMain, not counting mainStart
    // Where the records start in TmpMain: after the image's backup header, so that a full
    // backup without scratch clusters needs no merge (TmpMain already is its image). 0 only
    // for a transfer that an earlier version left behind, whose TmpMain holds records alone.
    std::uint64_t mainStart = 0;
    std::uint32_t serialNumber = 0;
    std::uint32_t clusterSize = 0;
    std::uint32_t headerParam1 = 0;
    std::uint32_t headerParam2 = 0;
    std::uint32_t headerParam3 = 0;
    std::int64_t receivedCount = 0;
    std::int64_t mergeCount = 0;
    std::int64_t oldEstimate = 0;
    // The checksum file written beside the merge output, one record at a time.
    CBFMChecksum mergeChecksum;
    // The checksum file of TmpMain as a full backup's main records arrive ("main.sum"), for
    // when TmpMain becomes the image without a merge; null once a scratch cluster came (and
    // for a transfer finished at start-up). Dropped unfinished, it removes its file.
    std::unique_ptr<CBFMChecksum> mainChecksum;
    bool acknowledged = false; // DONE was answered OK: the Quarnex server counts the backup as stored
    HLKTimeouts timeouts;
    // Bytes received ahead of the reads that want them, so small messages cost no system call.
    std::vector<std::uint8_t> rxBuffer;
    std::size_t rxPos = 0;
    std::size_t rxEnd = 0;
};
