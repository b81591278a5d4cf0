#include "HLKBackupSession.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "HLKInternal.h"
#include "HLKMerge.h"
#include "HLKPeerGate.h"
#include "HLKRecordIO.h"
#include "HLKWire.h"
#include "SFSProtocol.h"
#include "SessionData.h"

using BackupDataLayout::kBackupHeaderSize;
using BackupDataLayout::kClusterHeaderSize;

namespace {

const char* const kUnit = "BusinessLogic/BackupServices/HLKBackupSession";

// Files a scratch record's offset under its blockID: in the 8-byte index while the record
// starts below the switch point, in the wide index from there on. Nothing is converted and
// nothing read again when the scratch file crosses it. The caller counts the record once it
// is written, or takes the entry back (dropScratchBlock).
int addScratchBlock(SessionData& session, std::uint32_t blockID, std::uint64_t offset)
{
    try {
        if (offset >= session.wideScratchFrom) {
            session.wideScratchIndex.push_back(WideScratchIndexEntry::Make(blockID, offset));
            return 0;
        }
        if (session.scratchIndex.size() >= static_cast<std::size_t>(session.indexCapacity)) {
            const std::int64_t capacity = (std::int64_t(session.indexCapacity) + 1) * 2;
            if (capacity > 0x7FFFFFFF)
                throw std::bad_alloc();
            session.scratchIndex.reserve(static_cast<std::size_t>(capacity));
            session.indexCapacity = static_cast<std::int32_t>(capacity);
        }
        session.scratchIndex.push_back(ScratchIndexEntry{blockID, static_cast<std::uint32_t>(offset)});
    } catch (const std::bad_alloc&) {
        HLK_INTERNAL();
        return -1;
    }
    return 0;
}

// Takes back the entry of a scratch record that was not written.
void dropScratchBlock(SessionData& session)
{
    if (!session.wideScratchIndex.empty())
        session.wideScratchIndex.pop_back();
    else if (!session.scratchIndex.empty())
        session.scratchIndex.pop_back();
}

int refuseDone(SessionData& session)
{
    if (HLKWire::sendResponse(session.socket, SFS_RSP_ERROR) == 0)
        HLK_NOTIFY(NotifyBackupTransferDone(false));
    else
        HLK_INTERNAL();
    return -1;
}

// The scratch index of a transfer, read back from the record headers in TmpScratch, narrow
// and wide entries exactly as the transfer filed them.
int rebuildScratchIndex(SessionData& session)
{
    CBFMFile& scratch = *session.tmpScratch;
    if (scratch.Seek(0, 0) != 0)
        return -1;
    const std::int64_t size = scratch.GetSize();
    std::int64_t offset = 0;
    session.scratchCount = 0;
    session.scratchIndex.clear();
    session.wideScratchIndex.clear();
    while (offset < size) {
        std::uint8_t header[kClusterHeaderSize];
        std::uint32_t got = 0;
        if (size - offset < std::int64_t(kClusterHeaderSize) ||
            !scratch.Read(header, kClusterHeaderSize, got))
            return -1;
        const BackupDataLayout::ClusterHeader cluster = BackupDataLayout::DecodeClusterHeader(header);
        if (cluster.length > session.clusterSize)
            return -1;
        if (addScratchBlock(session, cluster.blockID, static_cast<std::uint64_t>(offset)) != 0)
            return -1;
        session.scratchCount += 1;
        offset += std::int64_t(kClusterHeaderSize) + cluster.length;
        if (offset > size || scratch.Seek(offset, 0) != offset)
            return -1;
    }
    return 0;
}

// A full backup without scratch clusters needs no merge: TmpMain holds the image's header and
// then every record in the order the merge would write them (it copies main records as they
// come and has nothing to put between them), split into the sub-files a merge file would
// have. It is committed as it stands, and the bytes on disk are the merge's.
bool isOneWrite(const SessionData& session)
{
    return session.full && session.scratchCount == 0 && session.mainStart == kBackupHeaderSize &&
           session.tmpMain->GetMaxBytesPerSubFile() == CBFMFile::DefaultMaxBytesPerSubFile();
}

// Where the records of a TmpMain left by an acknowledged transfer start: after the image's
// header, or at 0 for one written by an earlier version (records only). -1 when the file is
// neither: it does not hold what the transfer record says.
std::int64_t recordsStart(SessionData& session, const CBFMBackup::TransferRecord& record)
{
    const std::int64_t size = session.tmpMain->GetSize();
    if (size == std::int64_t(record.mainBytes))
        return 0;
    BackupDataLayout::BackupHeader header;
    if (size != std::int64_t(record.mainBytes + kBackupHeaderSize) ||
        !HLKRecordIO::readBackupHeader(*session.tmpMain, header) || header != session.backupHeader())
        return -1;
    return std::int64_t(kBackupHeaderSize);
}

// The merge: TmpMain and TmpScratch (and for an incremental the stored image) into a new
// merge file, made durable; the commit makes it the image.
int mergeOutput(SessionData& session, std::unique_ptr<CBFMFile>& mergeFile)
{
    HLK_DEBUG("HLKServer finishBackup(): Processing backup: Create output file\n");
    mergeFile = session.backup->CreateBFMFile(CBFMBackup::TmpMergeFile);
    if (!mergeFile) {
        HLK_ERROR("HLKServer finishBackup(): CreateBFMFile() TmpMerge failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return -1;
    }
    if (HLKRecordIO::writeBackupHeader(*mergeFile, session.backupHeader()) != 0) {
        HLK_ERROR("HLKServer finishBackup(): writeBackupHeader() failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return -1;
    }
    session.mergeChecksum.Begin(session.backup->GetChecksumPath(CBFMBackup::TmpMergeFile),
                                session.backupHeader());
    // Written data may only show a write failure (a full disk) when it is handed over.
    const std::int64_t recordsAt = std::int64_t(session.mainStart);
    if (!session.tmpMain->Flush() || !session.tmpScratch->Flush() ||
        session.tmpMain->Seek(recordsAt, 0) != recordsAt) {
        HLK_ERROR("HLKServer finishBackup(): Seek() TmpMain failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return -1;
    }
    if (session.full) {
        HLK_DEBUG("HLKServer finishBackup(): Processing backup: Scratch merge\n");
        if (HLKMerge::mergeFullBackup(session, *mergeFile) != 0) {
            HLK_ERROR("HLKServer finishBackup(): mergeFullBackup() failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_FINALIZE));
            return -1;
        }
    } else {
        HLK_DEBUG("HLKServer finishBackup(): Processing backup: 3-Way incremental merge\n");
        if (HLKMerge::mergeIncrBackup(session, *mergeFile) != 0) {
            HLK_ERROR("HLKServer finishBackup(): mergeIncrBackup() failed\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_FINALIZE));
            return -1;
        }
    }
    return 0;
}

// The checksum file of TmpMain when it becomes the image: the one written as the transfer
// arrived, or, for a transfer finished at start-up, one read back from TmpMain.
bool finishMainChecksum(SessionData& session)
{
    const std::string path = session.backup->GetChecksumPath(CBFMBackup::TmpMainFile);
    if (session.mainChecksum)
        return session.mainChecksum->Finish();
    return session.tmpMain->Seek(0, 0) == 0 && CBFMChecksum::WriteForImage(*session.tmpMain, path);
}

} // namespace

int HLKBackupSession::xactHello(SessionData& session)
{
    HLK_DEBUG("HLKServer xactHello(): Waiting for HELLO data\n");
    std::uint8_t payload[SFS_HELLO_SIZE];
    if (HLKWire::fillBuffer(session, payload, sizeof payload) != 0) {
        HLK_INTERNAL();
        return -1;
    }

    HLK_DEBUG("HLKServer xactHello(): Processing HELLO data\n");
    session.serialNumber = SFS_GetWord(payload);
    session.full = SFS_GetWord(payload + 4) != 0;
    session.clusterSize = SFS_GetWord(payload + 8);
    session.headerParam1 = SFS_GetWord(payload + 12);
    session.headerParam2 = SFS_GetWord(payload + 16);
    session.headerParam3 = SFS_GetWord(payload + 20);
    session.receivedCount = 0;

    // A peer rule (off by default) may refuse this server from this address: before anything
    // is shown or touched.
    if (HLKPeerGate::refuseBackup(session))
        return -1;

    const std::string serverId = HLKWire::formatServerId(session.serialNumber);
    HLK_NOTIFY(NotifyBackupInitiated(serverId.c_str()));

    // A cluster size of 0 cannot carry data and divides by zero later; one above the largest
    // restorable size would be stored for nothing and makes the service allocate on a peer's
    // word.
    if (session.clusterSize == 0 || session.clusterSize > BackupDataLayout::kMaxClusterSize) {
        HLK_ERROR("HLKServer xactHello(): Invalid cluster size (%u).\n", session.clusterSize);
        HLK_NOTIFY(NotifyError(HLK_ERR_INTERNAL));
        HLKWire::sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }

    // A HELLO after SIZE starts the transfer again: drop what the earlier one attached.
    session.releaseBackup();
    session.server.reset();

    const std::shared_ptr<CBFMRepository> repo = HLKInternal::Repository();
    if (repo) {
        session.server = repo->GetServer(serverId);
        if (!session.server)
            session.server = repo->CreateServer(serverId);
    }
    if (!session.server) {
        HLK_ERROR("HLKServer xactHello(): CreateServer() failed for %s\n", serverId.c_str());
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        HLKWire::sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }

    if (!session.full && !session.server->IsIncrementalAllowed()) {
        HLK_WARN("HLKServer xactHello(): Incremental not allowed (no previous backup or time to force a new "
                 "full).\n");
        // The transfer files of an earlier HELLO and SIZE are gone (above): clusters may no
        // longer be taken, and a SIZE would carry the refused HELLO's values. Only a new
        // HELLO starts over.
        session.state = SessionState::Idle;
        if (HLKWire::sendResponse(session.socket, SFS_RSP_ERROR) != 0)
            return -1;
        HLK_DEBUG("HLKServer xactHello(): HELLO command completed\n");
        return 0;
    }

    try {
        // Room for a whole record: the merge reads a scratch record in one piece.
        session.clusterBuffer.assign(std::size_t(session.clusterSize) + kClusterHeaderSize, 0);
    } catch (const std::bad_alloc&) {
        HLK_ERROR("HLKServer xactHello(): Out of memory\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_INTERNAL));
        return -1;
    }

    if (session.state != SessionState::Idle)
        HLK_ERROR("HLKServer xactHello(): Incorrect state (%d) for HELLO command. Should be in state %d.\n",
                  static_cast<int>(session.state), -1);

    if (HLKWire::sendResponse(session.socket, SFS_RSP_OK) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    session.state = SessionState::Hello;
    HLK_DEBUG("HLKServer xactHello(): HELLO command completed\n");
    return 0;
}

int HLKBackupSession::xactSize(SessionData& session)
{
    HLK_DEBUG("HLKServer xactSize(): Waiting for SIZE data.\n");
    std::uint8_t payload[SFS_SIZE_SIZE];
    if (HLKWire::fillBuffer(session, payload, sizeof payload) != 0) {
        HLK_INTERNAL();
        return -1;
    }

    HLK_DEBUG("HLKServer xactSize(): Processing SIZE data.\n");
    const std::uint32_t clusters = SFS_GetWord(payload);
    session.estimate = clusters;
    // Counted in 64 bits from the announced bytes: in 32 bits clusters under 1 KiB counted as
    // nothing and large announcements wrapped. At most 2^32 clusters of 64 KiB: 2^28 MB.
    const std::uint64_t estimatedMB64 = (std::uint64_t(session.clusterSize) * clusters) >> 20;
    const std::uint32_t estimatedMB =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(estimatedMB64, 0xFFFFFFFFu));
    HLK_DEBUG("HLKServer xactSize(): Given estimate of %u MB (%u blocks) of data.\n", estimatedMB, clusters);

    const std::string serverId = HLKWire::formatServerId(session.serialNumber);
    auto abnormalEnd = [&session]() {
        if (HLKWire::sendResponse(session.socket, SFS_RSP_ERROR) != 0)
            HLK_INTERNAL();
        HLK_DEBUG("HLKServer xactSize(): SIZE command completed abnormally.\n");
        return -1;
    };

    if (session.state != SessionState::Hello) {
        HLK_ERROR("HLKServer xactSize(): Incorrect state (%d) for SIZE command. Should be in state %d.\n",
                  static_cast<int>(session.state), static_cast<int>(SessionState::Hello));
        HLK_NOTIFY(NotifyError(HLK_ERR_INTERNAL));
        HLKWire::sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }

    const std::shared_ptr<CBFMRepository> repo = HLKInternal::Repository();
    const std::int64_t freeBytes = repo ? repo->GetFreeSpace() : -1;
    // More free space than 2^31 - 1 MB saturates (it used to wrap, to 0 among others); a
    // failed query stays -1 and refuses every backup.
    constexpr std::int64_t kMaxMB = 0x7FFFFFFF;
    const std::int32_t availableMB =
        freeBytes < 0 ? -1 : static_cast<std::int32_t>(std::min<std::int64_t>(freeBytes >> 20, kMaxMB));
    const std::int64_t needed64 = static_cast<std::int64_t>(static_cast<double>(estimatedMB64) * 2.2);
    const std::int32_t neededMB = static_cast<std::int32_t>(std::min<std::int64_t>(needed64, kMaxMB));
    if (needed64 > availableMB) {
        HLK_ERROR("HLKServer xactSize(): Insufficient disk space.  Needed=%dMB Available=%dMB\n", neededMB,
                  availableMB);
        HLK_NOTIFY(NotifyInsufficientDiskSpace(serverId.c_str(), neededMB, availableMB));
        return abnormalEnd();
    }

    // An earlier SIZE on this connection may have attached a record already.
    session.releaseBackup();
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

    // The image's header goes first, so that TmpMain can become the image as it stands.
    if (HLKRecordIO::writeBackupHeader(*session.tmpMain, session.backupHeader()) != 0) {
        HLK_ERROR("HLKServer xactSize(): writeBackupHeader() TmpMain failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return abnormalEnd();
    }
    session.mainStart = kBackupHeaderSize;
    // Its checksum file is written as the records arrive, for the image it may become; a full
    // backup only, and dropped once a scratch cluster comes.
    session.mainChecksum.reset();
    if (session.full) {
        session.mainChecksum = std::make_unique<CBFMChecksum>();
        session.mainChecksum->Begin(session.backup->GetChecksumPath(CBFMBackup::TmpMainFile),
                                    session.backupHeader());
    }

    session.scratchCount = 0;
    session.scratchBytes = 0;
    session.mainCount = 0;
    session.mainBytes = 0;
    session.scratchIndex.clear();
    session.wideScratchIndex.clear();
    if (HLKWire::sendResponse(session.socket, SFS_RSP_OK) != 0) {
        HLK_INTERNAL();
        return -1;
    }
    session.state = SessionState::Clusters;
    HLK_NOTIFY(NotifyBackupStarted(serverId.c_str(), estimatedMB));
    HLK_DEBUG("HLKServer xactSize(): SIZE command completed normally.\n");
    return 0;
}

int HLKBackupSession::xactCluster(SessionData& session)
{
    std::uint8_t header[HEADER_SIZE];
    if (HLKWire::fillBuffer(session, header, sizeof header) != 0) {
        HLK_ERROR("HLKServer xactCluster(): Unable to get CLUSTER command options.\n");
        return -1;
    }
    const auto [blockID, mode, length] = BackupDataLayout::DecodeClusterHeader(header);
    // The buffer is only there once a HELLO was accepted; a refused incremental leaves the
    // announced clusterSize without one.
    if (length > session.clusterSize || length > session.clusterBuffer.size()) {
        HLK_ERROR("HLKServer xactCluster(): Extracted cluster size (%d) does not match expected (%d).\n",
                  static_cast<int>(length), static_cast<int>(session.clusterSize));
        return -1;
    }
    // The data lands after room for the record header, so the record goes out in one piece.
    std::uint8_t* const record = session.clusterBuffer.data();
    std::uint8_t* const data = session.clusterBuffer.empty() ? nullptr : record + kClusterHeaderSize;
    if (HLKWire::fillBuffer(session, data, length) != 0) {
        HLK_ERROR("HLKServer xactCluster(): Unable to fill CLUSTER buffer with the data.\n");
        return -1;
    }
    if (session.state != SessionState::Clusters) {
        HLK_ERROR("HLKServer xactCluster(): Incorrect state (%d) for CLUSTER command (wanted %d).\n",
                  static_cast<int>(session.state), static_cast<int>(SessionState::Clusters));
        return -1;
    }

    const std::uint64_t recordSize = BackupDataLayout::RecordSize(length);
    std::memcpy(record, header, kClusterHeaderSize);
    if (mode & BackupDataLayout::kModeScratch) {
        if (addScratchBlock(session, blockID, session.scratchBytes) != 0) {
            HLK_ERROR("HLKServer xactCluster(): Unable to add block ID (%d) to scratch file.\n",
                      static_cast<int>(blockID));
            return -1;
        }
        if (HLKRecordIO::writeClusterBlk(*session.tmpScratch, nullptr, record, std::uint32_t(recordSize)) !=
            0) {
            dropScratchBlock(session);
            HLK_ERROR("HLKServer xactCluster(): Unable to write block header and data for blockID %d to "
                      "scratch file.\n",
                      static_cast<int>(blockID));
            return -1;
        }
        session.scratchCount += 1;
        session.scratchBytes += recordSize;
        // TmpMain will not be the image: its checksum file goes.
        session.mainChecksum.reset();
    } else if (mode & BackupDataLayout::kModeMain) {
        // Where a full backup's image is written when it needs no merge (see finishBackup).
        if (HLKRecordIO::writeClusterBlk(*session.tmpMain, nullptr, record, std::uint32_t(recordSize)) != 0) {
            HLK_ERROR(
                "HLKServer xactCluster(): Unable to write block header and data to main backup file.\n");
            return -1;
        }
        if (session.mainChecksum)
            session.mainChecksum->AddRecord(record, std::size_t(recordSize));
        session.mainCount += 1;
        session.mainBytes += recordSize;
    } else {
        HLK_ERROR("HLKServer xactCluster(): Invalid backup mode 0x%x.\n", mode);
        return -1;
    }

    session.receivedCount += 1;
    if (session.receivedCount % 250 == 0)
        HLK_NOTIFY(NotifyProgress(HLKInternal::Percent(session.receivedCount, session.estimate)));
    return 0;
}

int HLKBackupSession::xactDone(SessionData& session)
{
    HLK_DEBUG("HLKServer xactDone(): DONE command received.\n");
    if (session.state == SessionState::Clusters) {
        // The Quarnex server takes OK for "stored": its next incremental carries only what
        // changed since. So every cluster must be on the disk first, and until the commit no
        // incremental may be based on the server's current image (it would lack this backup
        // should the merge never end); the commit names a current backup again.
        if (!session.tmpMain->Sync() || !session.tmpScratch->Sync()) {
            HLK_ERROR("HLKServer xactDone(): Unable to make the backup data durable.\n");
            return refuseDone(session);
        }
        if (!session.server->FinishCommits() || !session.server->ClearCurrentBackup()) {
            HLK_ERROR("HLKServer xactDone(): Unable to clear the current backup.\n");
            return refuseDone(session);
        }
        if (HLKWire::sendResponse(session.socket, SFS_RSP_OK) != 0) {
            HLK_INTERNAL();
            return -1;
        }
        session.closeSocket();
        session.state = SessionState::Done;
        session.acknowledged = true;
        // Should the merge not end in this process, the next start finishes it from here.
        CBFMBackup::TransferRecord record;
        record.serialNumber = session.serialNumber;
        record.clusterSize = session.clusterSize;
        record.headerParam1 = session.headerParam1;
        record.headerParam2 = session.headerParam2;
        record.headerParam3 = session.headerParam3;
        record.full = session.full;
        record.estimate = session.estimate;
        record.mainCount = session.mainCount;
        record.scratchCount = session.scratchCount;
        record.mainBytes = session.mainBytes;
        record.scratchBytes = session.scratchBytes;
        if (!session.backup->SaveTransferRecord(record))
            HLK_WARN(
                "HLKServer xactDone(): No transfer record: a stop before the commit gives this backup up.\n");
        HLK_DEBUG("HLKServer xactDone(): DONE command completed - socket closed.\n");
        HLK_DEBUG("HLKServer xactDone(): Stats: Est=%lld Main=%lld Scratch=%lld Total=%lld (%lld).\n",
                  static_cast<long long>(session.estimate), static_cast<long long>(session.mainCount),
                  static_cast<long long>(session.scratchCount), static_cast<long long>(session.receivedCount),
                  static_cast<long long>(session.mainCount + session.scratchCount));
        HLK_NOTIFY(NotifyBackupTransferDone(true));
        return 0;
    }
    HLK_ERROR("HLKServer xactDone(): Incorrect state (%d) for DONE command (wanted %d).\n",
              static_cast<int>(session.state), static_cast<int>(SessionState::Clusters));
    return refuseDone(session);
}

int HLKBackupSession::finishBackup(SessionData& session)
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
    HLKMerge::sortScratchIndex(session);
    const bool oneWrite = isOneWrite(session);

    do {
        if (oneWrite) {
            // Synced before DONE was answered; the commit syncs it once more before the switch.
            HLK_DEBUG(
                "HLKServer finishBackup(): Processing backup: No scratch clusters, TmpMain is the image\n");
        } else if (mergeOutput(session, mergeFile) != 0) {
            break;
        }
        mergeFile.reset();
        // Without its checksum file the image is stored all the same, as "not yet checked".
        if (!(oneWrite ? finishMainChecksum(session) : session.mergeChecksum.Finish()))
            HLK_WARN("HLKServer finishBackup(): no checksum file for the backup of %s\n",
                     HLKWire::formatServerId(session.serialNumber).c_str());
        bool decided = false;
        if (!session.backup->CommitMerge(session.full, &replacedImage, &decided,
                                         oneWrite ? CBFMBackup::TmpMainFile : CBFMBackup::TmpMergeFile)) {
            HLK_ERROR("HLKServer finishBackup(): BFMBackup CommitMerge() failed\n");
            if (!decided) {
                HLK_NOTIFY(NotifyError(HLK_ERR_FINALIZE));
                break;
            }
            // The commit record is durable: the backup is committed, and the next look at
            // the record finishes the switch.
        }
        // The backup becomes the server's current one (after a full one, with the pruning).
        // Should that fail now, the next look at the server does it.
        if (!session.server->FinishCommits())
            HLK_ERROR("HLKServer finishBackup(): BFMServer CommitNewFull() failed\n");
        HLK_DEBUG("HLKServer finishBackup(): Backup operation completed normally!\n");
        result = 0;
    } while (false);

    mergeFile.reset();
    tmpMain = std::move(session.tmpMain);
    tmpScratch = std::move(session.tmpScratch);
    session.releaseBackup(); // deletes the temporary files by name; they stay open here
    HLK_NOTIFY(NotifySaveBackupDone(result == 0));
    if (result != 0 && session.acknowledged) {
        // The Quarnex server was told the backup is stored. The current backup stays cleared,
        // so its next backup is a full one; the window says so.
        const std::string serverId = HLKWire::formatServerId(session.serialNumber);
        HLK_ERROR("HLKServer finishBackup(): Backup from %s given up; its next backup will be a full one.\n",
                  serverId.c_str());
        HLK_NOTIFY(NotifyBackupNotSaved(serverId.c_str()));
    }
    session.server.reset();
    replacedImage.reset();
    tmpMain.reset();
    tmpScratch.reset();
    return result;
}

int HLKBackupSession::resumeBackup(std::unique_ptr<CBFMServer> server, std::unique_ptr<CBFMBackup> backup,
                                   const CBFMBackup::TransferRecord& record)
{
    SessionData session;
    session.state = SessionState::Done;
    session.acknowledged = true;
    session.full = record.full;
    session.serialNumber = record.serialNumber;
    session.clusterSize = record.clusterSize;
    session.headerParam1 = record.headerParam1;
    session.headerParam2 = record.headerParam2;
    session.headerParam3 = record.headerParam3;
    session.estimate = record.estimate;
    session.mainCount = record.mainCount;
    session.mainBytes = record.mainBytes;
    session.scratchBytes = record.scratchBytes;
    session.server = std::move(server);
    session.backup = std::move(backup);
    const std::string serverId = HLKWire::formatServerId(session.serialNumber);
    HLK_WARN("HLKServer resumeBackup(): Finishing the acknowledged backup of %s in %s\n", serverId.c_str(),
             session.backup->GetName().c_str());

    bool usable =
        session.server && session.clusterSize > 0 && session.clusterSize <= BackupDataLayout::kMaxClusterSize;
    if (usable) {
        try {
            session.clusterBuffer.assign(std::size_t(session.clusterSize) + kClusterHeaderSize, 0);
            session.indexCapacity = 128;
            session.scratchIndex.reserve(128);
        } catch (const std::bad_alloc&) {
            usable = false;
        }
    }
    if (usable) {
        session.tmpMain = session.backup->OpenBFMFile(CBFMBackup::TmpMainFile);
        session.tmpScratch = session.backup->OpenBFMFile(CBFMBackup::TmpScratchFile);
        // What was acknowledged is exactly what the files hold, record for record.
        const std::int64_t start = session.tmpMain && session.tmpScratch ? recordsStart(session, record) : -1;
        session.mainStart = start < 0 ? 0 : std::uint64_t(start);
        usable = start >= 0 && session.tmpScratch->GetSize() == std::int64_t(record.scratchBytes) &&
                 rebuildScratchIndex(session) == 0 && session.scratchCount == record.scratchCount;
    }
    if (!usable) {
        HLK_ERROR("HLKServer resumeBackup(): The transfer files of %s do not match their record.\n",
                  serverId.c_str());
        HLK_NOTIFY(NotifySaveBackupStarted());
        HLK_NOTIFY(NotifyError(HLK_ERR_FINALIZE));
        session.releaseBackup();
        HLK_NOTIFY(NotifySaveBackupDone(false));
        HLK_NOTIFY(NotifyBackupNotSaved(serverId.c_str()));
        session.server.reset();
        return -1;
    }
    return finishBackup(session);
}
