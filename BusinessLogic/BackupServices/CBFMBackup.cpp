#include "CBFMBackup.h"

#include <charconv>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMFile.h"
#include "CClientExc.h"
#include "CInetHeaderParser.h"
#include "CLog.h"
#include "Platform.h"

namespace {

constexpr int kLogCategory = 32;
constexpr const char* kUnitPath = "BusinessLogic/BackupServices/CBFMBackup";

const char* const kConfigName = "backup.cfg";
// Written, durable, before a commit switches images; names the new image and its dates so
// that whoever finds it can finish the switch.
const char* const kCommitMarkerName = "commit.cfg";
// Left by a commit for its server: this backup is to become the server's current one.
const char* const kCurrentNoteName = "current.cfg";
// Written, durable, once a transfer was acknowledged: what a restart needs to merge it.
const char* const kTransferRecordName = "transfer.cfg";
// Suffix of a parameter file being replaced (left behind only by a stop before its rename).
const char* const kSaveSuffix = ".tmp";

const char* const kBackupID = "BackupID";
const char* const kFullBackupDate = "FullBackupDate";
const char* const kLastBackupDate = "LastBackupDate";
const char* const kNumIncrementals = "NumIncrementals";
const char* const kNumSubFiles = "NumSubFiles";
const char* const kMaxBytesPerSubFile = "MaxBytesPerSubFile";
const char* const kFull = "Full";
const char* const kSetCurrent = "SetCurrent";
const char* const kSerialNumber = "SerialNumber";
const char* const kClusterSize = "ClusterSize";
const char* const kHeaderParam1 = "HeaderParam1";
const char* const kHeaderParam2 = "HeaderParam2";
const char* const kHeaderParam3 = "HeaderParam3";
const char* const kEstimate = "Estimate";
const char* const kMainCount = "MainCount";
const char* const kScratchCount = "ScratchCount";
const char* const kMainBytes = "MainBytes";
const char* const kScratchBytes = "ScratchBytes";

// A 64-bit decimal entry; false when it is missing or not wholly a number of that type.
template <typename T>
bool GetParm64(const CInetHeaderParser& parser, const char* name, T& value)
{
    std::string text;
    if (!parser.GetParmValue(name, name, text))
        return false;
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    if (first == std::string::npos)
        return false;
    const char* begin = text.data() + first;
    const char* end = text.data() + last + 1;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    return ec == std::errc() && ptr == end;
}

// Commits and repairs of any record run one at a time, so a scan on one thread never repairs
// a commit that another thread is still carrying out.
std::recursive_mutex& CommitLock()
{
    static std::recursive_mutex lock;
    return lock;
}

std::string LastComponent(const std::string& directory)
{
    const std::size_t sep = directory.find_last_of("/\\");
    return sep == std::string::npos ? directory : directory.substr(sep + 1);
}

// How often the files of each record's image were changed in this process, by backup ID (the
// same record may be reached through differently spelt paths). Read and changed only under
// the commit lock, and every change of an image's files happens under it, so a copy made
// between two reads that agree saw no change at all.
std::uint64_t& ImageGeneration(const std::string& directory)
{
    static std::map<std::string, std::uint64_t> generations;
    return generations[LastComponent(directory)];
}

std::uint64_t ReadImageGeneration(const std::string& directory)
{
    std::lock_guard<std::recursive_mutex> guard(CommitLock());
    return ImageGeneration(directory);
}

std::string Join(const std::string& directory, const char* name)
{
    return directory + "/" + name;
}

std::string PathOfType(const std::string& directory, int fileType)
{
    const std::string name = CBFMBackup::FileName(fileType);
    return name.empty() ? std::string() : directory + "/" + name;
}

struct CommitRecord {
    std::int32_t numSubFiles = 0;
    std::int32_t maxBytesPerSubFile = 0;
    std::uint32_t fullBackupDate = 0;
    std::uint32_t lastBackupDate = 0;
    std::int32_t numIncrementals = 0;
    std::int32_t full = 0;
    std::int32_t setCurrent = 0; // the server's current backup follows (a note is left for it)
};

// Removes a copy of `source` made at `target`, gaps included: a failed copy can miss any
// sub-file, so the series is walked as long as either side still has one.
void RemoveCopy(const std::string& source, const std::string& target)
{
    hl::Platform& os = hl::Os();
    for (int i = 0; i < CBFMFile::kMaxSubFiles; ++i) {
        const std::string copy = CBFMFile::SubFilePath(target, i);
        bool copied = false;
        bool original = false;
        CBFMFile::Probe(copy, copied);
        if (!copied && CBFMFile::Probe(CBFMFile::SubFilePath(source, i), original) && !original)
            break;
        if (copied)
            os.DeleteFile(copy);
    }
    CBFMFile::Delete(target);
}

// Whether any part of a logical data file exists. False when that cannot be told: a failed
// query must never pass for "absent", because absence leads to deletions.
bool ExistsAny(const std::string& logicalPath, bool& exists)
{
    bool control = false;
    bool first = false;
    if (!CBFMFile::Probe(CBFMFile::ControlFilePath(logicalPath), control) ||
        !CBFMFile::Probe(CBFMFile::SubFilePath(logicalPath, 0), first))
        return false;
    exists = control || first;
    return true;
}

// Deletes the sub-files of `image` from index `from` on (left by a longer series).
bool DeleteSubFilesFrom(const std::string& image, int from)
{
    for (int i = from; i < CBFMFile::kMaxSubFiles; ++i) {
        const std::string stale = CBFMFile::SubFilePath(image, i);
        bool exists = false;
        if (!CBFMFile::Probe(stale, exists))
            return false;
        if (!exists)
            return true;
        if (!hl::Os().DeleteFile(stale))
            return false;
    }
    return true;
}

bool WriteConfigFile(const std::string& path, const std::string& id, std::uint32_t full, std::uint32_t last,
                     std::int32_t incrementals)
{
    CInetHeaderParser parser(true);
    parser.AddHeader(kBackupID, id);
    parser.AddHeaderUInt(kFullBackupDate, full);
    parser.AddHeaderUInt(kLastBackupDate, last);
    parser.AddHeaderInt(kNumIncrementals, incrementals);
    return CBFMBackup::SaveParameterFile(parser, path);
}

// Moves the new image from "merge.dat" onto "backup.dat" and stamps backup.cfg. Every step
// can be repeated after a stop, so running it again from the start finishes the job.
bool RollForward(const std::string& directory, const CommitRecord& commit)
{
    hl::Platform& os = hl::Os();
    const std::string merge = PathOfType(directory, CBFMBackup::TmpMergeFile);
    const std::string image = PathOfType(directory, CBFMBackup::BackupFile);

    for (int i = 0; i < commit.numSubFiles; ++i) {
        const std::string from = CBFMFile::SubFilePath(merge, i);
        const std::string to = CBFMFile::SubFilePath(image, i);
        bool pending = false;
        bool moved = false;
        if (!CBFMFile::Probe(from, pending))
            return false;
        if (pending) {
            if (!os.MoveFile(from, to)) {
                CLog::Error(kLogCategory, "CBFMBackup::CommitMerge(): Rename of merge file to backup file failed\n");
                return false;
            }
        } else if (!CBFMFile::Probe(to, moved) || !moved) {
            CLog::Error(kLogCategory, "CBFMBackup::CommitMerge(): sub-file %d of the new image is missing in %s\n",
                        i, directory.c_str());
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
    if (!os.SyncDirectory(directory))
        return false;
    if (!WriteConfigFile(Join(directory, kConfigName), LastComponent(directory), commit.fullBackupDate,
                         commit.lastBackupDate, commit.numIncrementals)) {
        CLog::Error(kLogCategory, "CBFMBackup::CommitMerge(): Unable to save the backup configuration for %s\n",
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

} // namespace

// ---- construction -----------------------------------------------------------------------

CBFMBackup::CBFMBackup(const std::string& directory, const std::string& backupID)
    : m_directory(directory), m_backupID(backupID), m_configPath(Join(directory, kConfigName))
{
    if (m_backupID.empty()) {
        CLog::Error(kLogCategory, "CBFMBackup::CBFMBackup(): No backup ID\n");
        throw CClientExc("No backup ID", 1234, kUnitPath, __LINE__);
    }
    if (LastComponent(m_directory) != m_backupID) {
        CLog::Error(kLogCategory, "CBFMBackup::CBFMBackup(): Backup ID and directory name don't match for %s\n",
                    m_backupID.c_str());
        throw CClientExc("Backup ID and directory name don't match\n", 1234, kUnitPath, __LINE__);
    }
    if (!SaveConfig()) {
        CLog::Error(kLogCategory, "CBFMBackup::CBFMBackup(): Unable to save the backup configuration for %s\n",
                    m_backupID.c_str());
        throw CClientExc("Unable to save the backup configuration\n", 1234, kUnitPath, __LINE__);
    }
}

CBFMBackup::CBFMBackup(const std::string& directory)
    : m_directory(directory), m_configPath(Join(directory, kConfigName))
{
    if (!RepairInterruptedCommit(m_directory)) {
        CLog::Error(kLogCategory, "CBFMBackup::CBFMBackup(): Unable to finish an interrupted commit in %s\n",
                    m_directory.c_str());
        throw CClientExc("Unable to finish an interrupted commit\n", 1234, kUnitPath, __LINE__);
    }
    CInetHeaderParser parser(m_configPath, true);
    if (!parser.IsLoaded()) {
        CLog::Error(kLogCategory, "CBFMBackup::CBFMBackup(): Unable to read the backup configuration in %s\n",
                    m_directory.c_str());
        throw CClientExc("Unable to read the backup configuration\n", 1234, kUnitPath, __LINE__);
    }
    parser.GetParmValue(kBackupID, kBackupID, m_backupID);
    parser.GetParmUInt(kFullBackupDate, kFullBackupDate, m_fullBackupDate);
    parser.GetParmUInt(kLastBackupDate, kLastBackupDate, m_lastBackupDate);
    parser.GetParmInt(kNumIncrementals, kNumIncrementals, m_numIncrementals);
    if (m_backupID.empty() || LastComponent(m_directory) != m_backupID) {
        CLog::Error(kLogCategory, "CBFMBackup::CBFMBackup(): Backup ID and directory name don't match in %s\n",
                    m_directory.c_str());
        throw CClientExc("Backup ID and directory name don't match\n", 1234, kUnitPath, __LINE__);
    }
}

CBFMBackup::~CBFMBackup() = default;

bool CBFMBackup::SaveConfig()
{
    return WriteConfigFile(m_configPath, m_backupID, m_fullBackupDate, m_lastBackupDate, m_numIncrementals);
}

bool CBFMBackup::SaveParameterFile(const CInetHeaderParser& parser, const std::string& path)
{
    // The parser writes beside the file, syncs and renames; the directory entry must be
    // durable too before a caller builds on it.
    if (!parser.Save(path))
        return false;
    const std::size_t slash = path.find_last_of('/');
    return hl::Os().SyncDirectory(slash == std::string::npos ? std::string(".")
                                  : slash == 0                ? std::string("/")
                                                              : path.substr(0, slash));
}

// ---- data files -------------------------------------------------------------------------

std::string CBFMBackup::FileName(int fileType)
{
    switch (fileType) {
    case BackupFile: return "backup.dat";
    case TmpBackupFile: return "tmpbackup.dat";
    case TmpMergeFile: return "merge.dat";
    case TmpMainFile: return "main.dat";
    case TmpScratchFile: return "scratch.dat";
    default: return std::string();
    }
}

std::string CBFMBackup::GetFilePath(int fileType) const
{
    return PathOfType(m_directory, fileType);
}

std::unique_ptr<CBFMFile> CBFMBackup::CreateBFMFile(int fileType)
{
    return OpenOrCreate(fileType, true);
}

std::unique_ptr<CBFMFile> CBFMBackup::OpenBFMFile(int fileType)
{
    return OpenOrCreate(fileType, false);
}

std::unique_ptr<CBFMFile> CBFMBackup::OpenOrCreate(int fileType, bool create)
{
    const std::string path = GetFilePath(fileType);
    if (path.empty()) {
        CLog::Error(kLogCategory, "CBFMBackup::OpenOrCreate(): Unknown backup file type\n");
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(CommitLock());
    if (!RepairInterruptedCommit(m_directory))
        return nullptr;
    try {
        // A new transfer never inherits the record of an earlier one.
        if (create && fileType == TmpMainFile && !DeleteTransferRecord())
            return nullptr;
        auto file = std::make_unique<CBFMFile>(path, create);
        // Each of these is made durable: the merge file by the commit, the transfer files
        // before DONE is answered. Started early, the final sync has little left to wait for.
        if (create && (fileType == TmpMergeFile || fileType == TmpMainFile || fileType == TmpScratchFile))
            file->SetWriteBehind(true);
        return file;
    } catch (const CClientExc&) {
        return nullptr;
    }
}

std::int64_t CBFMBackup::GetBFMFileSize(int fileType)
{
    std::unique_ptr<CBFMFile> file = OpenBFMFile(fileType);
    return file ? file->GetSize() : -1;
}

bool CBFMBackup::ValidateImage()
{
    using namespace BackupDataLayout;
    std::unique_ptr<CBFMFile> file = OpenBFMFile(BackupFile);
    if (!file)
        return false;
    const std::int64_t size = file->GetSize();
    if (size < std::int64_t(kBackupHeaderSize))
        return false;
    std::uint8_t bytes[kBackupHeaderSize];
    std::uint32_t got = 0;
    if (!file->Read(bytes, sizeof bytes, got))
        return false;
    const BackupHeader header = DecodeBackupHeader(bytes);
    if (header.clusterSize == 0 || !IsUsableClusterSize(header.clusterSize))
        return false;
    std::int64_t pos = kBackupHeaderSize;
    while (pos < size) {
        std::uint8_t record[kClusterHeaderSize];
        if (size - pos < std::int64_t(kClusterHeaderSize) || !file->Read(record, sizeof record, got))
            return false;
        const ClusterHeader cluster = DecodeClusterHeader(record);
        if (cluster.length > header.clusterSize)
            return false;
        pos += std::int64_t(RecordSize(cluster.length));
        if (pos > size || file->Seek(pos, 0) != pos)
            return false;
    }
    return true;
}

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
        if (!parser.IsLoaded() || commit.numSubFiles <= 0 || commit.numSubFiles > CBFMFile::kMaxSubFiles) {
            // Not a marker we wrote: leave everything as it is for a person to look at.
            CLog::Error(kLogCategory, "CBFMBackup::RepairInterruptedCommit(): unreadable commit record in %s\n",
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

bool CBFMBackup::CommitMerge(bool full, std::unique_ptr<CBFMFile>* replacedImage, bool* decided)
{
    hl::Platform& os = hl::Os();
    if (decided)
        *decided = false;
    if (!RepairInterruptedCommit(m_directory))
        return false;

    // The new image must be whole and durable before anything points at it. Synced before
    // the commit lock is taken, so other threads' opens do not wait for a long flush.
    CommitRecord commit;
    {
        std::unique_ptr<CBFMFile> merge;
        try {
            merge = std::make_unique<CBFMFile>(GetFilePath(TmpMergeFile), false);
        } catch (const CClientExc&) {
            CLog::Error(kLogCategory, "CBFMBackup::CommitMerge(): Rename of merge file to backup file failed\n");
            return false;
        }
        if (!merge->Sync()) {
            CLog::Error(kLogCategory, "CBFMBackup::CommitMerge(): Rename of merge file to backup file failed\n");
            return false;
        }
        commit.numSubFiles = merge->GetNumSubFiles();
        commit.maxBytesPerSubFile = merge->GetMaxBytesPerSubFile();
    }

    std::lock_guard<std::recursive_mutex> guard(CommitLock());
    if (!RepairInterruptedCommit(m_directory))
        return false;
    ++ImageGeneration(m_directory);  // an export running beside the switch copies again
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
    const std::string markerPath = Join(m_directory, kCommitMarkerName);
    // Held open, the replaced image's blocks outlive the rename over it, and freeing a large
    // file costs as much as writing much of it. An image that does not open (there is none
    // before the first commit) is simply released by the rename.
    std::unique_ptr<CBFMFile> previous;
    bool hasImage = false;
    if (replacedImage && ExistsAny(GetFilePath(BackupFile), hasImage) && hasImage) {
        try {
            previous = std::make_unique<CBFMFile>(GetFilePath(BackupFile), false);
        } catch (const CClientExc&) {
        }
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

// ---- clean-up and delete ----------------------------------------------------------------

bool CBFMBackup::Cleanup()
{
    hl::Platform& os = hl::Os();
    std::lock_guard<std::recursive_mutex> guard(CommitLock());
    // A decided commit is finished first: its merge file is the new image, not scrap. Should
    // that not succeed now, the transfer files still go; they are never part of an image.
    if (!RepairInterruptedCommit(m_directory)) {
        DeleteTransferRecord();
        CBFMFile::Delete(GetFilePath(TmpMainFile));
        CBFMFile::Delete(GetFilePath(TmpScratchFile));
        return false;
    }

    // The record goes before the files it describes: never a record without its files.
    bool ok = DeleteTransferRecord();
    for (int type : {TmpBackupFile, TmpMergeFile, TmpMainFile, TmpScratchFile})
        ok = CBFMFile::Delete(GetFilePath(type)) && ok;

    const std::string image = GetFilePath(BackupFile);
    bool imageExists = true;
    if (!ExistsAny(image, imageExists)) {
        CLog::Error(kLogCategory, "CBFMBackup::Cleanup(): unable to tell whether the backup file exists in %s\n",
                    m_directory.c_str());
        return false;
    }
    if (!imageExists) {
        // No image was ever committed: the record goes.
        bool configExists = true;
        if (!CBFMFile::Probe(m_configPath, configExists))
            return false;
        if (configExists && !os.DeleteFile(m_configPath)) {
            CLog::Error(kLogCategory, "CBFMBackup::Cleanup(): DeleteFile() failed for %s\n", m_configPath.c_str());
            ok = false;
        }
        return ok;
    }
    try {
        CBFMFile file(image, false);
    } catch (const CClientExc&) {
        // Damaged, or unreadable for now: the data stays, and so does the record describing it.
        CLog::Error(kLogCategory, "CBFMBackup::Cleanup(): backup file exists but does not open in %s; kept\n",
                    m_directory.c_str());
        ok = false;
    }
    return ok;
}

bool CBFMBackup::Delete(const std::string& directory)
{
    hl::Platform& os = hl::Os();
    std::lock_guard<std::recursive_mutex> guard(CommitLock());
    ++ImageGeneration(directory);
    bool ok = true;
    for (int type = BackupFile; type <= TmpScratchFile; ++type)
        ok = CBFMFile::Delete(PathOfType(directory, type)) && ok;
    for (const std::string& leftover : {Join(directory, kCommitMarkerName), Join(directory, kCurrentNoteName),
                                        Join(directory, kTransferRecordName),
                                        Join(directory, kTransferRecordName) + kSaveSuffix,
                                        Join(directory, kCommitMarkerName) + kSaveSuffix,
                                        Join(directory, kConfigName) + kSaveSuffix}) {
        if (os.PathExists(leftover) && !os.DeleteFile(leftover))
            ok = false;
    }
    const std::string config = Join(directory, kConfigName);
    if (os.PathExists(config) && !os.DeleteFile(config)) {
        CLog::Error(kLogCategory, "CBFMBackup::Delete(): DeleteFile() failed for %s\n", config.c_str());
        ok = false;
    }
    return ok;
}

// ---- export and import ------------------------------------------------------------------

int CBFMBackup::Export(const std::string& destServerDir)
{
    if (destServerDir.empty())
        return ResultFailure;
    if (!RepairInterruptedCommit(m_directory))
        return ResultFailure;
    hl::Platform& os = hl::Os();
    const std::string target = destServerDir + "/" + m_backupID;
    // What this export created goes again when it fails, so no half copy lists as a backup.
    // The folder is new, so all it holds is this export's; the source may have changed since
    // it was copied, so the copy is not told from it.
    auto undo = [&]() {
        const int error = hl::Platform::LastError();
        std::vector<std::string> names;
        os.ListDirectory(target, names);
        for (const std::string& name : names)
            os.DeleteFile(target + "/" + name);
        os.RemoveDirectory(target);
        hl::Platform::SetLastError(error);
    };
    // The copy takes no lock, so the service is never held up by it; a commit that switched
    // the image meanwhile may have left a mix of both images (and a configuration of either),
    // so such a copy is taken back and made again. Each retry needs a whole new backup of
    // this server, so a few are plenty.
    constexpr int kMaxAttempts = 5;
    for (int attempt = 1;; ++attempt) {
        const std::uint64_t generation = ReadImageGeneration(m_directory);
        if (!os.CreateDirectory(target)) {
            CLog::Error(kLogCategory, "CBFMBackup::Export(): CreateDirectory failed\n");
            return ResultFailure;
        }
        enum { NoFailure, ConfigFailed, ImageFailed } failure = NoFailure;
        int error = 0;
        if (!os.CopyFile(m_configPath, target + "/" + kConfigName, true, hl::CopyProgress())) {
            error = hl::Platform::LastError();
            failure = ConfigFailed;
        } else if (!CBFMFile::Copy(GetFilePath(BackupFile), target + "/" + FileName(BackupFile), true, &error)) {
            failure = ImageFailed;
        }
        const bool switched = ReadImageGeneration(m_directory) != generation;
        if (failure == NoFailure && !switched)
            return ResultSuccess;
        hl::Platform::SetLastError(error);
        undo();
        if (switched && error != hl::kErrCancelled && attempt < kMaxAttempts) {
            CLog::Warn(kLogCategory, "CBFMBackup::Export(): the image of %s was replaced during the copy; copying again\n",
                       m_backupID.c_str());
            continue;
        }
        if (failure == NoFailure) {
            CLog::Error(kLogCategory, "CBFMBackup::Export(): the image of %s kept changing during the copy\n",
                        m_backupID.c_str());
            return ResultFailure;
        }
        if (failure == ConfigFailed)
            CLog::Error(kLogCategory, "CBFMBackup::Export(): Copy of config file failed, reason: %s\n",
                        os.ErrorText(error).c_str());
        else
            CLog::Error(kLogCategory, "CBFMBackup::Export(): Copy of backup file to export dir failed, reason: %s\n",
                        os.ErrorText(error).c_str());
        hl::Platform::SetLastError(error);
        return error == hl::kErrDiskFull ? ResultDiskFull : ResultFailure;
    }
}

int CBFMBackup::Import(const std::string& destBackupDir)
{
    if (destBackupDir.empty())
        return ResultFailure;
    hl::Platform& os = hl::Os();
    const std::string config = destBackupDir + "/" + kConfigName;
    const std::string image = destBackupDir + "/" + FileName(BackupFile);
    // A failed import leaves nothing behind that could list as a backup.
    auto undo = [&]() {
        const int error = hl::Platform::LastError();
        RemoveCopy(GetFilePath(BackupFile), image);
        if (os.PathExists(config))
            os.DeleteFile(config);
        hl::Platform::SetLastError(error);
    };
    if (!os.CopyFile(m_configPath, config, true, hl::CopyProgress())) {
        const int error = hl::Platform::LastError();
        CLog::Error(kLogCategory, "CBFMBackup::Import(): Copy of config file failed, reason: %s\n",
                    os.ErrorText(error).c_str());
        if (error != hl::kErrAlreadyExists)
            undo();
        return error == hl::kErrDiskFull ? ResultDiskFull : ResultFailure;
    }
    int error = 0;
    if (!CBFMFile::Copy(GetFilePath(BackupFile), image, true, &error)) {
        CLog::Error(kLogCategory, "CBFMBackup::Import(): Copy of backup file failed, reason: %s\n",
                    os.ErrorText(error).c_str());
        undo();
        return error == hl::kErrDiskFull ? ResultDiskFull : ResultFailure;
    }
    return ResultSuccess;
}
