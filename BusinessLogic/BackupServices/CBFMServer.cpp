#include "CBFMServer.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMVerify.h"
#include "CClientExc.h"
#include "CInetHeaderParser.h"
#include "CLog.h"
#include "CRand.h"
#include "MakeDirPath.h"
#include "Platform.h"

namespace {

constexpr int kLogCategory = 32;
constexpr const char* kUnitPath = "BusinessLogic/BackupServices/CBFMServer";
constexpr std::int64_t kSecondsPerDay = 86400;

const char* const kConfigName = "server.cfg";
const char* const kServerName = "ServerName";
const char* const kServerID = "ServerID";
const char* const kForceFullNumber = "ForceFullNumber";
const char* const kForceFullType = "ForceFullType";
const char* const kNumOldBackupsToKeep = "NumOldBackupsToKeep";
const char* const kCurrentBackupID = "CurrentBackupID";

// Read-modify-write of server.cfg by the objects of one process (service and window) runs one
// at a time, so neither writes back a value the other has just changed.
std::mutex& ConfigLock()
{
    static std::mutex lock;
    return lock;
}

// The server's part of commits runs one at a time in the process: two objects for one server
// (service and window) must not both prune after the same full backup.
std::mutex& CommitsLock()
{
    static std::mutex lock;
    return lock;
}

std::string LastComponent(const std::string& directory)
{
    const std::size_t sep = directory.find_last_of("/\\");
    return sep == std::string::npos ? directory : directory.substr(sep + 1);
}

struct ServerConfig {
    std::string serverName;
    std::string serverID;
    std::int32_t forceFullNumber = 0;
    std::int32_t forceFullType = CBFMServer::Days;
    std::int32_t numOldBackupsToKeep = 0;
    std::string currentBackupID;
};

// Entries present replace the defaults already in `config`.
bool ReadConfig(const std::string& path, ServerConfig& config)
{
    CInetHeaderParser parser(path, true);
    if (!parser.IsLoaded())
        return false;
    parser.GetParmValue(kServerName, kServerName, config.serverName);
    parser.GetParmValue(kServerID, kServerID, config.serverID);
    parser.GetParmInt(kForceFullNumber, kForceFullNumber, config.forceFullNumber);
    parser.GetParmInt(kForceFullType, kForceFullType, config.forceFullType);
    parser.GetParmInt(kNumOldBackupsToKeep, kNumOldBackupsToKeep, config.numOldBackupsToKeep);
    parser.GetParmValue(kCurrentBackupID, kCurrentBackupID, config.currentBackupID);
    return true;
}

bool WriteConfig(const std::string& path, const ServerConfig& config)
{
    CInetHeaderParser parser(true);
    parser.AddHeader(kServerName, config.serverName);
    parser.AddHeader(kServerID, config.serverID);
    parser.AddHeaderInt(kForceFullNumber, config.forceFullNumber);
    parser.AddHeaderInt(kForceFullType, config.forceFullType);
    parser.AddHeaderInt(kNumOldBackupsToKeep, config.numOldBackupsToKeep);
    parser.AddHeader(kCurrentBackupID, config.currentBackupID);
    return CBFMBackup::SaveParameterFile(parser, path);
}

} // namespace

// ---- construction -----------------------------------------------------------------------

CBFMServer::CBFMServer(const std::string& directory, const std::string& serverID)
    : m_directory(directory), m_serverID(serverID), m_configPath(directory + "/" + kConfigName)
{
    if (m_serverID.empty()) {
        CLog::Error(kLogCategory, "CBFMServer::CBFMServer(): No server ID\n");
        throw CClientExc("No server ID", 1234, kUnitPath, __LINE__);
    }
    if (LastComponent(m_directory) != m_serverID) {
        CLog::Error(kLogCategory,
                    "CBFMServer::CBFMServer(): Server ID and directory name don't match for %s\n",
                    m_serverID.c_str());
        throw CClientExc("Server ID and directory name don't match\n", 1234, kUnitPath, __LINE__);
    }
    if (!SaveAll()) {
        CLog::Error(kLogCategory,
                    "CBFMServer::CBFMServer(): Unable to save the server configuration for %s\n",
                    m_serverID.c_str());
        throw CClientExc("Unable to save the server configuration\n", 1234, kUnitPath, __LINE__);
    }
    const std::string seed = std::to_string(hl::Os().WallClockSeconds());
    m_rand = std::make_unique<CRand>(seed.data(), seed.size());
}

CBFMServer::CBFMServer(const std::string& directory)
    : m_directory(directory), m_configPath(directory + "/" + kConfigName)
{
    ServerConfig config;
    if (!ReadConfig(m_configPath, config)) {
        CLog::Error(kLogCategory, "CBFMServer::CBFMServer(): Unable to read the server configuration in %s\n",
                    m_directory.c_str());
        throw CClientExc("Unable to read the server configuration\n", 1234, kUnitPath, __LINE__);
    }
    if (config.serverID.empty() || LastComponent(m_directory) != config.serverID) {
        CLog::Error(kLogCategory,
                    "CBFMServer::CBFMServer(): Server ID and directory name don't match in %s\n",
                    m_directory.c_str());
        throw CClientExc("Server ID and directory name don't match\n", 1234, kUnitPath, __LINE__);
    }
    m_serverID = config.serverID;
    m_serverName = config.serverName;
    m_forceFullNumber = config.forceFullNumber;
    m_forceFullType = TForceFullType(std::uint8_t(config.forceFullType));
    m_numOldBackupsToKeep = config.numOldBackupsToKeep;
    m_currentBackupID = config.currentBackupID;
    const std::string seed = std::to_string(hl::Os().WallClockSeconds());
    m_rand = std::make_unique<CRand>(seed.data(), seed.size());
}

CBFMServer::~CBFMServer() = default;

bool CBFMServer::IsValidComponent(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::string CBFMServer::BackupDir(const std::string& backupID) const
{
    return m_directory + "/" + backupID;
}

std::string CBFMServer::GetDisplayName() const
{
    const std::string prefix = m_serverName.empty() ? std::string("Quarnex ") : m_serverName + "    ";
    return prefix + "Server ID: " + m_serverID;
}

// ---- saving -----------------------------------------------------------------------------

bool CBFMServer::SaveAll()
{
    ServerConfig config;
    config.serverName = m_serverName;
    config.serverID = m_serverID;
    config.forceFullNumber = m_forceFullNumber;
    config.forceFullType = m_forceFullType;
    config.numOldBackupsToKeep = m_numOldBackupsToKeep;
    config.currentBackupID = m_currentBackupID;
    std::lock_guard<std::mutex> guard(ConfigLock());
    return WriteConfig(m_configPath, config);
}

// Writes this object's value of one field over what the file holds now; the other fields
// keep the file's values, which this snapshot then takes over.
bool CBFMServer::SaveField(EField field)
{
    std::lock_guard<std::mutex> guard(ConfigLock());
    ServerConfig config;
    config.serverName = m_serverName;
    config.forceFullNumber = m_forceFullNumber;
    config.forceFullType = m_forceFullType;
    config.numOldBackupsToKeep = m_numOldBackupsToKeep;
    config.currentBackupID = m_currentBackupID;
    ServerConfig onDisk = config;
    if (ReadConfig(m_configPath, onDisk) && onDisk.serverID == m_serverID)
        config = onDisk;
    config.serverID = m_serverID;
    switch (field) {
    case FieldForceFullType: config.forceFullType = m_forceFullType; break;
    case FieldForceFullNumber: config.forceFullNumber = m_forceFullNumber; break;
    case FieldNumOldBackupsToKeep: config.numOldBackupsToKeep = m_numOldBackupsToKeep; break;
    case FieldCurrentBackupID: config.currentBackupID = m_currentBackupID; break;
    }
    m_serverName = config.serverName;
    m_forceFullNumber = config.forceFullNumber;
    m_forceFullType = TForceFullType(std::uint8_t(config.forceFullType));
    m_numOldBackupsToKeep = config.numOldBackupsToKeep;
    m_currentBackupID = config.currentBackupID;
    return WriteConfig(m_configPath, config);
}

void CBFMServer::SetForceFullType(TForceFullType type)
{
    m_forceFullType = type;
    SaveField(FieldForceFullType);
}

void CBFMServer::SetForceFullNumber(std::int32_t number)
{
    m_forceFullNumber = number;
    SaveField(FieldForceFullNumber);
}

void CBFMServer::SetNumOldBackupsToKeep(std::int32_t number)
{
    m_numOldBackupsToKeep = number;
    SaveField(FieldNumOldBackupsToKeep);
}

// ---- backups ----------------------------------------------------------------------------

void CBFMServer::GetAllBackups(std::vector<std::string>& backupIDs)
{
    backupIDs.clear();
    hl::Platform& os = hl::Os();
    std::vector<std::string> names;
    if (!os.ListDirectory(m_directory, names))
        return;
    for (const std::string& name : names) {
        if (!IsValidComponent(name) || !os.DirectoryExists(BackupDir(name)))
            continue;
        try {
            CBFMBackup backup(BackupDir(name));
            backupIDs.push_back(backup.GetName());
        } catch (const CClientExc&) {
            // Not a backup record: skipped.
        }
    }
}

bool CBFMServer::GetCurrentBackup(std::string& backupID)
{
    backupID = m_currentBackupID;
    return !backupID.empty();
}

bool CBFMServer::GetMostRecentBackup(std::string& backupID)
{
    backupID.clear();
    bool found = false;
    std::uint32_t best = 0;
    std::vector<std::string> ids;
    GetAllBackups(ids);
    for (const std::string& id : ids) {
        std::unique_ptr<CBFMBackup> backup = GetBackup(id);
        if (!backup) {
            CLog::Error(kLogCategory, "CBFMServer::GetMostRecentBackup(): Unable to get backup %s\n",
                        id.c_str());
            continue;
        }
        // A record whose image was never committed (a transfer cut off by a crash) has
        // nothing to restore.
        if (backup->GetBFMFileSize(CBFMBackup::BackupFile) < 0)
            continue;
        // Dates are unsigned: a backup taken after 2038 is the newer one.
        if (!found || backup->LastBackupDate() > best) {
            found = true;
            best = backup->LastBackupDate();
            backupID = id;
        }
    }
    return !backupID.empty();
}

bool CBFMServer::NewBackupID(std::string& backupID)
{
    backupID.clear();
    for (int attempt = 0; attempt < 10000; ++attempt) {
        std::uint32_t value = 0;
        if (!m_rand || !m_rand->Next(value, 9999))
            return false;
        const std::string candidate = std::to_string(value);
        bool exists = true;
        // Only a name known to be free: a failed query must not hand out an existing backup.
        if (CBFMFile::Probe(BackupDir(candidate), exists) && !exists) {
            backupID = candidate;
            return true;
        }
    }
    return false;
}

std::unique_ptr<CBFMBackup> CBFMServer::CreateBackup()
{
    std::string id;
    if (!NewBackupID(id))
        return nullptr;
    try {
        MakeDirPath(m_directory);
        // Created here and now, or not at all: a new record never takes over an existing one.
        if (!hl::Os().CreateDirectory(BackupDir(id))) {
            CLog::Error(kLogCategory, "CBFMServer::CreateBackup(): unable to create %s\n",
                        BackupDir(id).c_str());
            return nullptr;
        }
        return std::make_unique<CBFMBackup>(BackupDir(id), id);
    } catch (const CClientExc&) {
        RemoveBackupDirectory(id); // no empty directory left behind (a full disk)
        return nullptr;
    }
}

std::unique_ptr<CBFMBackup> CBFMServer::GetBackup(const std::string& backupID)
{
    if (!IsValidComponent(backupID))
        return nullptr;
    try {
        return std::make_unique<CBFMBackup>(BackupDir(backupID));
    } catch (const CClientExc&) {
        return nullptr;
    }
}

// ---- policy -----------------------------------------------------------------------------

bool CBFMServer::IsIncrementalAllowed()
{
    std::string currentID;
    bool allowed = GetCurrentBackup(currentID);
    if (m_forceFullType == Never)
        return allowed;
    std::unique_ptr<CBFMBackup> current = GetBackup(currentID);
    if (!current) {
        CLog::Error(kLogCategory, "CBFMServer::IsIncrementalAllowed(): Unable to get current backup %s\n",
                    currentID.c_str());
        return false;
    }
    if (m_forceFullType == Days) {
        // 64-bit and unsigned: no wrap in 2038 or 2106, and the exact second is already too late.
        const std::int64_t deadline =
            std::int64_t(current->FullBackupDate()) + std::int64_t(m_forceFullNumber) * kSecondsPerDay;
        const std::int64_t now = std::int64_t(hl::Os().WallClockSeconds());
        if (!(deadline > now))
            allowed = false;
    } else if (m_forceFullType == Incrementals) {
        if (!(current->NumIncrementals() < m_forceFullNumber))
            allowed = false;
    }
    return allowed;
}

bool CBFMServer::CommitNewFull(const std::string& backupID)
{
    bool result = true;
    m_currentBackupID = backupID;
    if (!SaveField(FieldCurrentBackupID)) {
        CLog::Error(kLogCategory,
                    "CBFMServer::CommitNewFull(): Unable to save the server configuration for %s\n",
                    m_serverID.c_str());
        // server.cfg still names the previous backup: pruning now could delete the very
        // backup it names.
        return false;
    }

    std::vector<std::string> all;
    GetAllBackups(all);
    std::vector<std::string> others;
    for (const std::string& id : all)
        if (id != backupID)
            others.push_back(id);
    const std::uint32_t n = std::uint32_t(others.size());
    // Unsigned on purpose: a negative setting keeps everything.
    const std::uint32_t keep = std::uint32_t(m_numOldBackupsToKeep);
    if (n <= keep)
        return result;

    // Oldest first by unsigned date; of backups sharing a date only the first found is a
    // candidate, so ties are never pruned together.
    std::map<std::uint32_t, std::string> candidates;
    for (const std::string& id : others) {
        std::unique_ptr<CBFMBackup> backup = GetBackup(id);
        if (!backup) {
            CLog::Error(kLogCategory, "CBFMServer::CommitNewFull(): Unable to get backup %s\n", id.c_str());
            continue;
        }
        candidates.emplace(backup->LastBackupDate(), id);
    }
    for (std::uint32_t i = 0; i < n - keep && !candidates.empty(); ++i) {
        auto oldest = candidates.begin();
        if (!DeleteBackup(oldest->second))
            CLog::Error(kLogCategory, "CBFMServer::CommitNewFull(): Unable to delete backup %s\n",
                        oldest->second.c_str());
        candidates.erase(oldest);
    }
    return result;
}

bool CBFMServer::ClearCurrentBackup()
{
    m_currentBackupID.clear();
    if (SaveField(FieldCurrentBackupID))
        return true;
    CLog::Error(kLogCategory,
                "CBFMServer::ClearCurrentBackup(): Unable to save the server configuration for %s\n",
                m_serverID.c_str());
    return false;
}

bool CBFMServer::FinishCommits()
{
    std::lock_guard<std::mutex> guard(CommitsLock());
    hl::Platform& os = hl::Os();
    std::vector<std::string> names;
    if (!os.ListDirectory(m_directory, names))
        return false;
    struct Waiting {
        std::uint32_t date;
        std::string id;
        bool full;
    };
    std::vector<Waiting> waiting;
    bool ok = true;
    for (const std::string& name : names) {
        if (!IsValidComponent(name) || !os.DirectoryExists(BackupDir(name)))
            continue;
        bool unfinished = false;
        if (!CBFMBackup::HasUnfinishedCommit(BackupDir(name), unfinished)) {
            ok = false;
            continue;
        }
        if (!unfinished)
            continue;
        // Loading the record finishes its image switch first; the note stays until then.
        if (!GetBackup(name)) {
            ok = false;
            continue;
        }
        bool exists = false;
        Waiting w{0, name, false};
        if (!CBFMBackup::ReadCurrentNote(BackupDir(name), exists, w.full, w.date)) {
            CLog::Error(kLogCategory, "CBFMServer::FinishCommits(): unreadable commit note in %s\n",
                        BackupDir(name).c_str());
            ok = false;
            continue;
        }
        if (exists)
            waiting.push_back(w);
    }
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const Waiting& a, const Waiting& b) { return a.date < b.date; });
    for (const Waiting& w : waiting) {
        bool done = false;
        if (w.full) {
            done = CommitNewFull(w.id);
        } else {
            m_currentBackupID = w.id;
            done = SaveField(FieldCurrentBackupID);
            if (!done)
                CLog::Error(kLogCategory,
                            "CBFMServer::FinishCommits(): Unable to save the server configuration for %s\n",
                            m_serverID.c_str());
        }
        // Pruning may have taken an older waiting backup already; its note went with it.
        if (done && os.DirectoryExists(BackupDir(w.id)) && !CBFMBackup::RemoveCurrentNote(BackupDir(w.id)))
            done = false;
        ok = done && ok;
    }
    return ok;
}

// ---- delete and size --------------------------------------------------------------------

bool CBFMServer::DeleteBackup(const std::string& backupID)
{
    if (!IsValidComponent(backupID))
        return false;
    // Only the files of a record that loads: a directory that is not one (damaged, foreign)
    // keeps whatever it holds.
    bool result = false;
    if (GetBackup(backupID))
        result = CBFMBackup::Delete(BackupDir(backupID));

    // The file, not this snapshot, says which backup is current now.
    bool wasCurrent = m_currentBackupID == backupID;
    {
        ServerConfig onDisk;
        std::lock_guard<std::mutex> guard(ConfigLock());
        if (ReadConfig(m_configPath, onDisk))
            wasCurrent = onDisk.currentBackupID == backupID;
    }
    if (wasCurrent) {
        m_currentBackupID.clear();
        if (!SaveField(FieldCurrentBackupID)) {
            CLog::Error(kLogCategory,
                        "CBFMServer::DeleteBackup(): Unable to save the server configuration for %s\n",
                        m_serverID.c_str());
            result = false;
        }
    } else if (m_currentBackupID == backupID) {
        m_currentBackupID.clear();
    }
    if (!hl::Os().RemoveDirectory(BackupDir(backupID)))
        result = false;
    return result;
}

bool CBFMServer::RemoveBackupDirectory(const std::string& backupID)
{
    if (!IsValidComponent(backupID))
        return false;
    if (hl::Os().RemoveDirectory(BackupDir(backupID)))
        return true;
    return hl::Platform::LastError() == hl::kErrDirNotEmpty;
}

bool CBFMServer::GetBackupSize(const std::string& backupID, std::uint64_t& size)
{
    if (backupID.empty())
        return false;
    std::unique_ptr<CBFMBackup> backup = GetBackup(backupID);
    if (!backup)
        return false;
    const std::int64_t bytes = backup->GetBFMFileSize(CBFMBackup::BackupFile);
    if (bytes == -1)
        return false;
    size = std::uint64_t(bytes);
    return true;
}

// ---- export and import ------------------------------------------------------------------

int CBFMServer::ExportBackup(const std::string& exportDir, const std::string& backupID)
{
    if (exportDir.empty() || backupID.empty())
        return ResultFailure;
    hl::Platform& os = hl::Os();
    const std::string serverDir = exportDir + "/" + m_serverID;
    if (!os.CreateDirectory(serverDir)) {
        CLog::Error(kLogCategory, "CBFMServer::ExportBackup(): CreateDirectory failed\n");
        return ResultFailure;
    }
    const std::string config = serverDir + "/" + kConfigName;
    // A failed export takes back what it created here.
    auto undo = [&]() {
        const int error = hl::Platform::LastError();
        if (os.PathExists(config))
            os.DeleteFile(config);
        os.RemoveDirectory(serverDir);
        hl::Platform::SetLastError(error);
    };
    if (!os.CopyFile(m_configPath, config, true, hl::CopyProgress())) {
        const int error = hl::Platform::LastError();
        CLog::Error(kLogCategory, "CBFMServer::ExportBackup(): CopyFile failed, reason: %s\n",
                    os.ErrorText(error).c_str());
        undo();
        return error == hl::kErrDiskFull ? ResultDiskFull : ResultFailure;
    }
    std::unique_ptr<CBFMBackup> backup = GetBackup(backupID);
    if (!backup) {
        undo();
        return ResultFailure;
    }
    const int result = backup->Export(serverDir);
    if (result != CBFMBackup::ResultSuccess) {
        CLog::Error(kLogCategory, "CBFMServer::ExportBackup(): Backup ExportBackup failed\n");
        undo();
    }
    return result;
}

int CBFMServer::ImportBackup(const std::string& destServerDir)
{
    if (destServerDir.empty())
        return ResultFailure;
    hl::Platform& os = hl::Os();
    std::vector<std::string> ids;
    GetAllBackups(ids);
    if (ids.empty()) {
        CLog::Error(kLogCategory, "CBFMServer::ImportBackup(): No backups in import dir\n");
        return ResultNotOneBackup;
    }
    if (ids.size() > 1) {
        CLog::Error(kLogCategory, "CBFMServer::ImportBackup(): More than 1 backup in import dir\n");
        return ResultNotOneBackup;
    }
    std::unique_ptr<CBFMBackup> backup = GetBackup(ids.front());
    if (!backup) {
        CLog::Error(kLogCategory, "CBFMServer::ImportBackup(): Unable to get backup in import dir\n");
        return ResultNotOneBackup;
    }
    // Only a whole image with a usable header is worth taking in.
    if (!backup->ValidateImage()) {
        CLog::Error(kLogCategory, "CBFMServer::ImportBackup(): Backup image in import dir is not valid\n");
        return ResultNotOneBackup;
    }
    // With a checksum file the copy can prove it is what was exported; a damaged one stays out.
    if (CBFMVerify::ImageDamaged(CBFMVerify::Verify(*backup))) {
        CLog::Error(kLogCategory,
                    "CBFMServer::ImportBackup(): Backup image in import dir does not match its checksum\n");
        return ResultNotOneBackup;
    }
    const std::string destBackupDir = destServerDir + "/" + ids.front();
    if (os.PathExists(destBackupDir)) {
        CLog::Error(kLogCategory, "CBFMServer::ImportBackup(): Backup dir already exists in repository\n");
        return ResultAlreadyExists;
    }

    const std::string destConfig = destServerDir + "/" + kConfigName;
    bool copiedConfig = false;
    bool writable = false;
    if (os.PathExists(destConfig)) {
        const int fd = os.OpenFile(destConfig, hl::OpenMode::ReadWrite);
        writable = fd >= 0;
        if (fd >= 0)
            os.Close(fd);
    }
    if (!writable) {
        if (!os.CopyFile(m_configPath, destConfig, true, hl::CopyProgress())) {
            const int error = hl::Platform::LastError();
            CLog::Error(kLogCategory, "CBFMServer::ImportBackup(): CopyFile failed, reason: %s\n",
                        os.ErrorText(error).c_str());
            if (error != hl::kErrAlreadyExists && os.PathExists(destConfig))
                os.DeleteFile(destConfig); // a partial copy
            return error == hl::kErrDiskFull ? ResultDiskFull : ResultFailure;
        }
        copiedConfig = true;
        // The server is new here: none of its backups is current yet, and an imported image is
        // never a base for the server's next incremental.
        try {
            CBFMServer imported(destServerDir);
            if (!imported.m_currentBackupID.empty()) {
                imported.m_currentBackupID.clear();
                imported.SaveField(FieldCurrentBackupID);
            }
        } catch (const CClientExc&) {
            // The copy does not load as this server: nothing of it may stay.
            os.DeleteFile(destConfig);
            return ResultFailure;
        }
    }

    auto undo = [&]() {
        os.RemoveDirectory(destBackupDir);
        if (copiedConfig)
            os.DeleteFile(destConfig);
    };
    try {
        MakeDirPath(destBackupDir);
    } catch (const CClientExc&) {
        CLog::Error(kLogCategory, "CBFMServer::ImportBackup(): Backup Import() failed\n");
        undo();
        return ResultFailure;
    }
    const int result = backup->Import(destBackupDir);
    if (result != CBFMBackup::ResultSuccess) {
        CLog::Error(kLogCategory, "CBFMServer::ImportBackup(): Backup Import() failed\n");
        undo();
    }
    return result;
}
