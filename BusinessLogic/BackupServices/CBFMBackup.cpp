#include "CBFMBackup.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMBackupInternal.h"
#include "CBFMFile.h"
#include "CClientExc.h"
#include "CInetHeaderParser.h"
#include "CLog.h"
#include "Platform.h"

using namespace cbfmbackup;

namespace {

constexpr const char* kUnitPath = "BusinessLogic/BackupServices/CBFMBackup";

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

// Copies an image's checksum file along with the image; an image without one stays without.
bool CopyChecksum(const std::string& from, const std::string& to, int& error)
{
    bool exists = false;
    if (!CBFMFile::Probe(from, exists)) {
        error = hl::Platform::LastError();
        return false;
    }
    if (!exists)
        return true;
    if (hl::Os().CopyFile(from, to, true, hl::CopyProgress()))
        return true;
    error = hl::Platform::LastError();
    return false;
}

} // namespace

namespace cbfmbackup {

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

} // namespace cbfmbackup

// ---- construction -----------------------------------------------------------------------

CBFMBackup::CBFMBackup(const std::string& directory, const std::string& backupID)
    : m_directory(directory), m_backupID(backupID), m_configPath(Join(directory, kConfigName))
{
    if (m_backupID.empty()) {
        CLog::Error(kLogCategory, "CBFMBackup::CBFMBackup(): No backup ID\n");
        throw CClientExc("No backup ID", 1234, kUnitPath, __LINE__);
    }
    if (LastComponent(m_directory) != m_backupID) {
        CLog::Error(kLogCategory,
                    "CBFMBackup::CBFMBackup(): Backup ID and directory name don't match for %s\n",
                    m_backupID.c_str());
        throw CClientExc("Backup ID and directory name don't match\n", 1234, kUnitPath, __LINE__);
    }
    if (!SaveConfig()) {
        CLog::Error(kLogCategory,
                    "CBFMBackup::CBFMBackup(): Unable to save the backup configuration for %s\n",
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
        CLog::Error(kLogCategory,
                    "CBFMBackup::CBFMBackup(): Backup ID and directory name don't match in %s\n",
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
                                  : slash == 0               ? std::string("/")
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

std::unique_ptr<CBFMFile> CBFMBackup::OpenImageAndChecksum(CBFMChecksum& checksum,
                                                           CBFMChecksum::Status& status)
{
    std::lock_guard<std::recursive_mutex> guard(CommitLock());
    std::unique_ptr<CBFMFile> image = OpenBFMFile(BackupFile);
    // Open descriptors keep what they opened even when a commit renames over the names.
    status = checksum.Open(GetChecksumPath(BackupFile));
    return image;
}

std::string CBFMBackup::GetChecksumPath(int fileType) const
{
    const std::string path = GetFilePath(fileType);
    return path.empty() ? path : CBFMChecksum::PathFor(path);
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
    for (int type : {TmpMergeFile, TmpMainFile}) {
        const std::string sum = GetChecksumPath(type);
        bool sumLeft = false;
        if (!CBFMFile::Probe(sum, sumLeft) || (sumLeft && !os.DeleteFile(sum)))
            ok = false;
    }

    const std::string image = GetFilePath(BackupFile);
    bool imageExists = true;
    if (!ExistsAny(image, imageExists)) {
        CLog::Error(kLogCategory,
                    "CBFMBackup::Cleanup(): unable to tell whether the backup file exists in %s\n",
                    m_directory.c_str());
        return false;
    }
    if (!imageExists) {
        // No image was ever committed: the record goes.
        bool configExists = true;
        if (!CBFMFile::Probe(m_configPath, configExists))
            return false;
        if (configExists && !os.DeleteFile(m_configPath)) {
            CLog::Error(kLogCategory, "CBFMBackup::Cleanup(): DeleteFile() failed for %s\n",
                        m_configPath.c_str());
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
    for (const std::string& leftover :
         {CBFMChecksum::PathFor(PathOfType(directory, BackupFile)),
          CBFMChecksum::PathFor(PathOfType(directory, TmpMergeFile)),
          CBFMChecksum::PathFor(PathOfType(directory, TmpMainFile)), Join(directory, kCommitMarkerName),
          Join(directory, kCurrentNoteName), Join(directory, kTransferRecordName),
          Join(directory, kTransferRecordName) + kSaveSuffix,
          Join(directory, kCommitMarkerName) + kSaveSuffix, Join(directory, kConfigName) + kSaveSuffix}) {
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
        } else if (!CBFMFile::Copy(GetFilePath(BackupFile), target + "/" + FileName(BackupFile), true,
                                   &error)) {
            failure = ImageFailed;
        } else if (!CopyChecksum(GetChecksumPath(BackupFile),
                                 CBFMChecksum::PathFor(target + "/" + FileName(BackupFile)), error)) {
            failure = ImageFailed;
        }
        const bool switched = ReadImageGeneration(m_directory) != generation;
        if (failure == NoFailure && !switched)
            return ResultSuccess;
        hl::Platform::SetLastError(error);
        undo();
        if (switched && error != hl::kErrCancelled && attempt < kMaxAttempts) {
            CLog::Warn(kLogCategory,
                       "CBFMBackup::Export(): the image of %s was replaced during the copy; copying again\n",
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
            CLog::Error(kLogCategory,
                        "CBFMBackup::Export(): Copy of backup file to export dir failed, reason: %s\n",
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
    if (!CopyChecksum(GetChecksumPath(BackupFile), CBFMChecksum::PathFor(image), error)) {
        CLog::Error(kLogCategory, "CBFMBackup::Import(): Copy of checksum file failed, reason: %s\n",
                    os.ErrorText(error).c_str());
        if (os.PathExists(CBFMChecksum::PathFor(image)))
            os.DeleteFile(CBFMChecksum::PathFor(image));
        undo();
        return error == hl::kErrDiskFull ? ResultDiskFull : ResultFailure;
    }
    return ResultSuccess;
}
