// What the files of CBFMBackup share: the names of a record's parameter files, the commit lock
// that orders every change of an image's files, and the small path helpers. Private to
// CBFMBackup's own units.
#pragma once

#include <charconv>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>

#include "CInetHeaderParser.h"

namespace cbfmbackup {

inline constexpr int kLogCategory = 32;

inline constexpr const char* kConfigName = "backup.cfg";
// Written, durable, before a commit switches images; names the new image and its dates so
// that whoever finds it can finish the switch.
inline constexpr const char* kCommitMarkerName = "commit.cfg";
// Left by a commit for its server: this backup is to become the server's current one.
inline constexpr const char* kCurrentNoteName = "current.cfg";
// Written, durable, once a transfer was acknowledged: what a restart needs to merge it.
inline constexpr const char* kTransferRecordName = "transfer.cfg";
// Suffix of a parameter file being replaced (left behind only by a stop before its rename).
inline constexpr const char* kSaveSuffix = ".tmp";

inline constexpr const char* kBackupID = "BackupID";
inline constexpr const char* kFullBackupDate = "FullBackupDate";
inline constexpr const char* kLastBackupDate = "LastBackupDate";
inline constexpr const char* kNumIncrementals = "NumIncrementals";
inline constexpr const char* kNumSubFiles = "NumSubFiles";
inline constexpr const char* kMaxBytesPerSubFile = "MaxBytesPerSubFile";
inline constexpr const char* kFull = "Full";
inline constexpr const char* kSetCurrent = "SetCurrent";
inline constexpr const char* kSource = "Source"; // the data file a commit takes (absent: merge.dat)
inline constexpr const char* kSerialNumber = "SerialNumber";
inline constexpr const char* kClusterSize = "ClusterSize";
inline constexpr const char* kHeaderParam1 = "HeaderParam1";
inline constexpr const char* kHeaderParam2 = "HeaderParam2";
inline constexpr const char* kHeaderParam3 = "HeaderParam3";
inline constexpr const char* kEstimate = "Estimate";
inline constexpr const char* kMainCount = "MainCount";
inline constexpr const char* kScratchCount = "ScratchCount";
inline constexpr const char* kMainBytes = "MainBytes";
inline constexpr const char* kScratchBytes = "ScratchBytes";

template <typename T>
inline bool GetParm64(const CInetHeaderParser& parser, const char* name, T& value)
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
std::recursive_mutex& CommitLock();

// How often the files of each record's image were changed in this process, by backup ID (the
// same record may be reached through differently spelt paths). Read and changed only under
// the commit lock, and every change of an image's files happens under it, so a copy made
// between two reads that agree saw no change at all.
std::uint64_t& ImageGeneration(const std::string& directory);
std::uint64_t ReadImageGeneration(const std::string& directory);

std::string LastComponent(const std::string& directory);
std::string Join(const std::string& directory, const char* name);
std::string PathOfType(const std::string& directory, int fileType);

// Whether any part of a logical data file exists. False when that cannot be told: a failed
// query must never pass for "absent", because absence leads to deletions.
bool ExistsAny(const std::string& logicalPath, bool& exists);

// Deletes the sub-files of `image` from index `from` on (left by a longer series).
bool DeleteSubFilesFrom(const std::string& image, int from);

bool WriteConfigFile(const std::string& path, const std::string& id, std::uint32_t full, std::uint32_t last,
                     std::int32_t incrementals);

} // namespace cbfmbackup
