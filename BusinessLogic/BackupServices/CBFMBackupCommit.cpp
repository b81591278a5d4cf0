// CBFMBackup's commit: the switch from the merged image to the stored one, its repair after a
// stop, the note that makes a backup current, and the transfer record that feeds a commit.
#include "CBFMBackup.h"

#include <mutex>
#include <string>

#include "CBFMBackupInternal.h"
#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "CClientExc.h"
#include "CInetHeaderParser.h"
#include "CLog.h"
#include "Platform.h"

using namespace cbfmbackup;

namespace {

struct CommitRecord {
    std::int32_t numSubFiles = 0;
    std::int32_t maxBytesPerSubFile = 0;
    std::uint32_t fullBackupDate = 0;
    std::uint32_t lastBackupDate = 0;
    std::int32_t numIncrementals = 0;
    std::int32_t full = 0;
    std::int32_t setCurrent = 0; // the server's current backup follows (a note is left for it)
    std::int32_t source = CBFMBackup::TmpMergeFile; // the data file that becomes the image
};

// Moves the new image from "merge.dat" (or the data file the record names) onto "backup.dat"
// and stamps backup.cfg. Every step can be repeated after a stop, so running it again from the
// start finishes the job.
bool RollForward(const std::string& directory, const CommitRecord& commit)
{
    hl::Platform& os = hl::Os();
    const std::string merge = PathOfType(directory, commit.source);
    const std::string image = PathOfType(directory, CBFMBackup::BackupFile);
    const std::string mergeSum = CBFMChecksum::PathFor(merge);
    const std::string imageSum = CBFMChecksum::PathFor(image);

    // The new image's checksum file, while it still waits beside merge.dat, means the one beside
    // backup.dat (if any) is the old image's: it goes, durably, before any sub-file moves, so
    // that no stop leaves an image with a checksum of another one. Once merge.sum has moved,
    // backup.sum is the new one and stays.
    bool sumPending = false;
    bool oldSum = false;
    if (!CBFMFile::Probe(mergeSum, sumPending))
        return false;
    if (sumPending) {
        if (!CBFMFile::Probe(imageSum, oldSum))
            return false;
        if (oldSum && (!os.DeleteFile(imageSum) || !os.SyncDirectory(directory)))
            return false;
    }

    for (int i = 0; i < commit.numSubFiles; ++i) {
        const std::string from = CBFMFile::SubFilePath(merge, i);
        const std::string to = CBFMFile::SubFilePath(image, i);
        bool pending = false;
        bool moved = false;
        if (!CBFMFile::Probe(from, pending))
            return false;
        if (pending) {
            if (!os.MoveFile(from, to)) {
                CLog::Error(kLogCategory,
                            "CBFMBackup::CommitMerge(): Rename of merge file to backup file failed\n");
                return false;
            }
        } else if (!CBFMFile::Probe(to, moved) || !moved) {
            CLog::Error(kLogCategory,
                        "CBFMBackup::CommitMerge(): sub-file %d of the new image is missing in %s\n", i,
                        directory.c_str());
            return false;
        }
    }
    if (!DeleteSubFilesFrom(image, commit.numSubFiles)) {
        CLog::Error(kLogCategory, "CBFMBackup::CommitMerge(): Delete of tmp backup file failed\n");
        return false;
    }
    const std::string mergeControl = CBFMFile::ControlFilePath(merge);
    bool controlPending = false;
    if (!CBFMFile::Probe(mergeControl, controlPending) ||
        (controlPending && !os.MoveFile(mergeControl, CBFMFile::ControlFilePath(image)))) {
        CLog::Error(kLogCategory, "CBFMBackup::CommitMerge(): Rename of merge file to backup file failed\n");
        return false;
    }
    if (sumPending && !os.MoveFile(mergeSum, imageSum)) {
        CLog::Error(kLogCategory, "CBFMBackup::CommitMerge(): Rename of the checksum file failed\n");
        return false;
    }
    if (!os.SyncDirectory(directory))
        return false;
    if (!WriteConfigFile(Join(directory, kConfigName), LastComponent(directory), commit.fullBackupDate,
                         commit.lastBackupDate, commit.numIncrementals)) {
        CLog::Error(kLogCategory,
                    "CBFMBackup::CommitMerge(): Unable to save the backup configuration for %s\n",
                    LastComponent(directory).c_str());
        return false;
    }
    // The transfer that fed this commit is merged: a restart must never merge it again.
    const std::string transfer = Join(directory, kTransferRecordName);
    bool transferLeft = false;
    if (!CBFMFile::Probe(transfer, transferLeft) || (transferLeft && !os.DeleteFile(transfer)))
        return false;
    const std::string marker = Join(directory, kCommitMarkerName);
    if (commit.setCurrent != 0) {
        // The record says the same thing for the server: the backup becomes current.
        if (!os.MoveFile(marker, Join(directory, kCurrentNoteName)))
            return false;
    } else if (!os.DeleteFile(marker)) {
        return false;
    }
    return os.SyncDirectory(directory);
}

// A folder written by a commit that renamed the old image to "tmpbackup.dat" first and was
// stopped before it ended: bring the previous image back, or keep the new one if it is whole.
bool RepairTmpBackup(const std::string& directory)
{
    hl::Platform& os = hl::Os();
    const std::string tmp = PathOfType(directory, CBFMBackup::TmpBackupFile);
    const std::string image = PathOfType(directory, CBFMBackup::BackupFile);
    bool tmpControl = false;
    bool imageControl = false;
    if (!CBFMFile::Probe(CBFMFile::ControlFilePath(tmp), tmpControl) ||
        !CBFMFile::Probe(CBFMFile::ControlFilePath(image), imageControl))
        return false;
    if (tmpControl && imageControl) {
        // The new image was renamed in completely; the previous one is no longer needed.
        return CBFMFile::Delete(tmp);
    }
    if (tmpControl) {
        // Stopped while the new image was moving in: the previous image is the whole one.
        CInetHeaderParser control(CBFMFile::ControlFilePath(tmp), true);
        std::int32_t count = 0;
        control.GetParmInt(kNumSubFiles, kNumSubFiles, count);
        if (!control.IsLoaded() || count <= 0 || count > CBFMFile::kMaxSubFiles)
            return false;
        if (!CBFMFile::Rename(tmp, image) || !DeleteSubFilesFrom(image, count))
            return false;
        CBFMFile::Delete(PathOfType(directory, CBFMBackup::TmpMergeFile));
        return os.SyncDirectory(directory);
    }
    // Stopped while the previous image was moving out: its control file never left.
    if (!CBFMFile::Rename(tmp, image))
        return false;
    return os.SyncDirectory(directory);
}

// Before a commit is decided: "merge.sum" (or the checksum file of the data file committed)
// must describe "merge.dat" (a stray one of another run goes), and where the new image comes
// without one, the old image's "backup.sum" goes now, so that the roll-forward never has to
// tell an old checksum file from a new one.
bool SettleChecksum(const std::string& directory, int source, std::uint64_t mergeSize)
{
    hl::Platform& os = hl::Os();
    const std::string mergeSum = CBFMChecksum::PathFor(PathOfType(directory, source));
    const std::string imageSum = CBFMChecksum::PathFor(PathOfType(directory, CBFMBackup::BackupFile));
    bool present = false;
    if (!CBFMFile::Probe(mergeSum, present))
        return false;
    if (present) {
        CBFMChecksum sum;
        if (sum.Open(mergeSum) == CBFMChecksum::Status::Whole && sum.ImageSize() == mergeSize)
            return true;
        CLog::Warn(
            kLogCategory,
            "CBFMBackup::CommitMerge(): the checksum file of the merge in %s does not fit it; dropped\n",
            directory.c_str());
        if (!os.DeleteFile(mergeSum))
            return false;
    }
    bool oldSum = false;
    if (!CBFMFile::Probe(imageSum, oldSum))
        return false;
    return !oldSum || (os.DeleteFile(imageSum) && os.SyncDirectory(directory));
}

} // namespace

// ---- commit -----------------------------------------------------------------------------

bool CBFMBackup::RepairInterruptedCommit(const std::string& directory)
{
    const std::string marker = Join(directory, kCommitMarkerName);
    const std::string tmp = PathOfType(directory, TmpBackupFile);
    bool decided = false;
    bool movedAside = false;
    if (!CBFMFile::Probe(marker, decided) || !ExistsAny(tmp, movedAside))
        return false;
    if (!decided && !movedAside)
        return true;

    std::lock_guard<std::recursive_mutex> guard(CommitLock());
    // Looked at again under the lock: a commit on another thread may have finished meanwhile.
    if (!CBFMFile::Probe(marker, decided) || !ExistsAny(tmp, movedAside))
        return false;
    if (decided || movedAside)
        ++ImageGeneration(directory);
    if (decided) {
        CInetHeaderParser parser(marker, true);
        CommitRecord commit;
        parser.GetParmInt(kNumSubFiles, kNumSubFiles, commit.numSubFiles);
        parser.GetParmInt(kMaxBytesPerSubFile, kMaxBytesPerSubFile, commit.maxBytesPerSubFile);
        parser.GetParmUInt(kFullBackupDate, kFullBackupDate, commit.fullBackupDate);
        parser.GetParmUInt(kLastBackupDate, kLastBackupDate, commit.lastBackupDate);
        parser.GetParmInt(kNumIncrementals, kNumIncrementals, commit.numIncrementals);
        parser.GetParmInt(kFull, kFull, commit.full);
        parser.GetParmInt(kSetCurrent, kSetCurrent, commit.setCurrent);
        parser.GetParmInt(kSource, kSource, commit.source); // absent: the merge file
        if (!parser.IsLoaded() || commit.numSubFiles <= 0 || commit.numSubFiles > CBFMFile::kMaxSubFiles ||
            (commit.source != TmpMergeFile && commit.source != TmpMainFile)) {
            // Not a marker we wrote: leave everything as it is for a person to look at.
            CLog::Error(kLogCategory,
                        "CBFMBackup::RepairInterruptedCommit(): unreadable commit record in %s\n",
                        directory.c_str());
            return false;
        }
        CLog::Warn(kLogCategory, "CBFMBackup::RepairInterruptedCommit(): finishing the commit in %s\n",
                   directory.c_str());
        if (!RollForward(directory, commit))
            return false;
    }
    if (!ExistsAny(tmp, movedAside))
        return false;
    if (movedAside) {
        CLog::Warn(kLogCategory, "CBFMBackup::RepairInterruptedCommit(): restoring the image in %s\n",
                   directory.c_str());
        if (!RepairTmpBackup(directory))
            return false;
    }
    return true;
}

bool CBFMBackup::CommitMerge(bool full, std::unique_ptr<CBFMFile>* replacedImage, bool* decided, int source)
{
    hl::Platform& os = hl::Os();
    if (decided)
        *decided = false;
    if (!RepairInterruptedCommit(m_directory))
        return false;

    if (source != TmpMergeFile && source != TmpMainFile)
        return false;
    // The new image must be whole and durable before anything points at it. Synced before
    // the commit lock is taken, so other threads' opens do not wait for a long flush.
    CommitRecord commit;
    commit.source = source;
    std::int64_t mergeSize = -1;
    {
        std::unique_ptr<CBFMFile> merge;
        try {
            merge = std::make_unique<CBFMFile>(GetFilePath(source), false);
        } catch (const CClientExc&) {
            CLog::Error(kLogCategory,
                        "CBFMBackup::CommitMerge(): Rename of merge file to backup file failed\n");
            return false;
        }
        if (!merge->Sync()) {
            CLog::Error(kLogCategory,
                        "CBFMBackup::CommitMerge(): Rename of merge file to backup file failed\n");
            return false;
        }
        commit.numSubFiles = merge->GetNumSubFiles();
        commit.maxBytesPerSubFile = merge->GetMaxBytesPerSubFile();
        mergeSize = merge->GetSize();
    }

    std::lock_guard<std::recursive_mutex> guard(CommitLock());
    if (!RepairInterruptedCommit(m_directory))
        return false;
    ++ImageGeneration(m_directory); // an export running beside the switch copies again
    if (mergeSize < 0 || !SettleChecksum(m_directory, source, std::uint64_t(mergeSize)))
        return false;
    const std::uint32_t now = os.WallClockSeconds();
    commit.lastBackupDate = now;
    commit.full = full ? 1 : 0;
    commit.setCurrent = 1;
    if (full) {
        commit.fullBackupDate = now;
        commit.numIncrementals = 0;
    } else {
        commit.fullBackupDate = m_fullBackupDate;
        commit.numIncrementals = m_numIncrementals + 1;
    }

    // From the moment the marker exists the commit is decided: a stop from here on is
    // finished by the next repair.
    CInetHeaderParser marker(true);
    marker.AddHeaderInt(kNumSubFiles, commit.numSubFiles);
    marker.AddHeaderInt(kMaxBytesPerSubFile, commit.maxBytesPerSubFile);
    marker.AddHeaderUInt(kFullBackupDate, commit.fullBackupDate);
    marker.AddHeaderUInt(kLastBackupDate, commit.lastBackupDate);
    marker.AddHeaderInt(kNumIncrementals, commit.numIncrementals);
    marker.AddHeaderInt(kFull, commit.full);
    marker.AddHeaderInt(kSetCurrent, commit.setCurrent);
    if (commit.source != TmpMergeFile)
        marker.AddHeaderInt(kSource, commit.source);
    const std::string markerPath = Join(m_directory, kCommitMarkerName);
    // Held open, the replaced image's blocks outlive the rename over it, and freeing a large
    // file costs as much as writing much of it. An image that does not open (there is none
    // before the first commit) is simply released by the rename.
    std::unique_ptr<CBFMFile> previous;
    bool hasImage = false;
    if (replacedImage && ExistsAny(GetFilePath(BackupFile), hasImage) && hasImage) {
        try {
            previous = std::make_unique<CBFMFile>(GetFilePath(BackupFile), false);
        } catch (const CClientExc&) {}
    }
    if (!SaveParameterFile(marker, markerPath)) {
        // Not known to be durable: withdraw it so that no switch can outlive it. Should even
        // that fail, the marker only ever names a durable image, and a repair finishes it.
        CLog::Error(kLogCategory, "CBFMBackup::CommitMerge(): Unable to record the commit for %s\n",
                    m_backupID.c_str());
        if (os.PathExists(markerPath))
            os.DeleteFile(markerPath);
        return false;
    }
    if (decided)
        *decided = true;
    // The dates are the new image's from here on, even should the switch have to wait for a
    // repair.
    m_fullBackupDate = commit.fullBackupDate;
    m_lastBackupDate = commit.lastBackupDate;
    m_numIncrementals = commit.numIncrementals;
    if (!RollForward(m_directory, commit))
        return false;

    if (replacedImage)
        *replacedImage = std::move(previous);
    return true;
}

bool CBFMBackup::ReadCurrentNote(const std::string& directory, bool& exists, bool& full, std::uint32_t& date)
{
    exists = false;
    full = false;
    date = 0;
    const std::string note = Join(directory, kCurrentNoteName);
    if (!CBFMFile::Probe(note, exists))
        return false;
    if (!exists)
        return true;
    CInetHeaderParser parser(note, true);
    std::int32_t isFull = 0;
    parser.GetParmInt(kFull, kFull, isFull);
    parser.GetParmUInt(kLastBackupDate, kLastBackupDate, date);
    full = isFull != 0;
    return parser.IsLoaded();
}

bool CBFMBackup::RemoveCurrentNote(const std::string& directory)
{
    const std::string note = Join(directory, kCurrentNoteName);
    bool exists = false;
    if (!CBFMFile::Probe(note, exists))
        return false;
    if (exists && !hl::Os().DeleteFile(note))
        return false;
    return hl::Os().SyncDirectory(directory);
}

bool CBFMBackup::HasUnfinishedCommit(const std::string& directory, bool& unfinished)
{
    bool marker = false;
    bool note = false;
    if (!CBFMFile::Probe(Join(directory, kCommitMarkerName), marker) ||
        !CBFMFile::Probe(Join(directory, kCurrentNoteName), note))
        return false;
    unfinished = marker || note;
    return true;
}

// ---- transfer record --------------------------------------------------------------------

bool CBFMBackup::SaveTransferRecord(const TransferRecord& record)
{
    CInetHeaderParser parser(true);
    parser.AddHeaderUInt(kSerialNumber, record.serialNumber);
    parser.AddHeaderInt(kFull, record.full ? 1 : 0);
    parser.AddHeaderUInt(kClusterSize, record.clusterSize);
    parser.AddHeaderUInt(kHeaderParam1, record.headerParam1);
    parser.AddHeaderUInt(kHeaderParam2, record.headerParam2);
    parser.AddHeaderUInt(kHeaderParam3, record.headerParam3);
    parser.AddHeader(kEstimate, std::to_string(record.estimate));
    parser.AddHeader(kMainCount, std::to_string(record.mainCount));
    parser.AddHeader(kScratchCount, std::to_string(record.scratchCount));
    parser.AddHeader(kMainBytes, std::to_string(record.mainBytes));
    parser.AddHeader(kScratchBytes, std::to_string(record.scratchBytes));
    if (SaveParameterFile(parser, Join(m_directory, kTransferRecordName)))
        return true;
    CLog::Error(kLogCategory, "CBFMBackup::SaveTransferRecord(): Unable to save the transfer record for %s\n",
                m_backupID.c_str());
    return false;
}

bool CBFMBackup::LoadTransferRecord(TransferRecord& record, bool& exists) const
{
    record = TransferRecord();
    const std::string path = Join(m_directory, kTransferRecordName);
    exists = true;
    if (!CBFMFile::Probe(path, exists) || !exists)
        return false;
    CInetHeaderParser parser(path, true);
    if (!parser.IsLoaded())
        return false;
    std::int32_t full = -1;
    // Every entry must be there: a record that lacks one was not written by a transfer.
    const bool complete = parser.GetParmUInt(kSerialNumber, kSerialNumber, record.serialNumber) &&
                          parser.GetParmInt(kFull, kFull, full) &&
                          parser.GetParmUInt(kClusterSize, kClusterSize, record.clusterSize) &&
                          parser.GetParmUInt(kHeaderParam1, kHeaderParam1, record.headerParam1) &&
                          parser.GetParmUInt(kHeaderParam2, kHeaderParam2, record.headerParam2) &&
                          parser.GetParmUInt(kHeaderParam3, kHeaderParam3, record.headerParam3) &&
                          GetParm64(parser, kEstimate, record.estimate) &&
                          GetParm64(parser, kMainCount, record.mainCount) &&
                          GetParm64(parser, kScratchCount, record.scratchCount) &&
                          GetParm64(parser, kMainBytes, record.mainBytes) &&
                          GetParm64(parser, kScratchBytes, record.scratchBytes);
    record.full = full == 1;
    return complete && (full == 0 || full == 1) && record.mainCount >= 0 && record.scratchCount >= 0;
}

bool CBFMBackup::DeleteTransferRecord()
{
    const std::string path = Join(m_directory, kTransferRecordName);
    bool exists = false;
    if (!CBFMFile::Probe(path, exists))
        return false;
    if (!exists)
        return true;
    return hl::Os().DeleteFile(path) && hl::Os().SyncDirectory(m_directory);
}
