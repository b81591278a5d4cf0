#pragma once
// Record layout of the backup data files (main, TmpMain, TmpScratch, TmpMerge).
//
// A stored image is a little-endian backup header followed by cluster records whose 12-byte
// headers are big-endian: they are kept exactly as they arrived in the CLUSTER command and are
// sent back unchanged on a restore. There is no count, index or trailer: records end where the
// stream ends.

#include <cstddef>
#include <cstdint>

namespace BackupDataLayout {

constexpr std::size_t kBackupHeaderSize = 20;    // five 32-bit words
constexpr std::size_t kClusterHeaderSize = 12;   // blockID, mode, length
constexpr std::uint32_t kMaxClusterSize = 65536; // largest clusterSize accepted from a stored header

// Mode bits of a cluster record.
constexpr std::uint32_t kModeScratch = 0x1;
constexpr std::uint32_t kModeMain = 0x2;

struct BackupHeader {
    std::uint32_t serialNumber = 0;
    std::uint32_t clusterSize = 0;
    std::uint32_t headerParam1 = 0;
    std::uint32_t headerParam2 = 0;
    std::uint32_t headerParam3 = 0;

    bool operator==(const BackupHeader&) const = default; // identity of a stored backup
};

struct ClusterHeader {
    std::uint32_t blockID = 0;
    std::uint32_t mode = 0;
    std::uint32_t length = 0;

    bool operator==(const ClusterHeader&) const = default;
};

// Backup header as stored in a data file (little-endian).
void EncodeBackupHeader(const BackupHeader& header, std::uint8_t out[kBackupHeaderSize]);
BackupHeader DecodeBackupHeader(const std::uint8_t in[kBackupHeaderSize]);

// The same five words as they travel on the wire (big-endian), sent after INQUIRY and RESTORE.
void EncodeBackupHeaderWire(const BackupHeader& header, std::uint8_t out[kBackupHeaderSize]);

// Cluster record header (big-endian both on disk and on the wire).
void EncodeClusterHeader(const ClusterHeader& header, std::uint8_t out[kClusterHeaderSize]);
ClusterHeader DecodeClusterHeader(const std::uint8_t in[kClusterHeaderSize]);

// Bytes a record occupies in a data file: header plus data.
constexpr std::uint64_t RecordSize(std::uint32_t length)
{
    return kClusterHeaderSize + std::uint64_t(length);
}

// Progress estimate of the records in a main data file: (size - 20) / (clusterSize + 12);
// 0 for a file not larger than the header.
std::uint64_t EstimateRecordCount(std::int64_t fileSize, std::uint32_t clusterSize);

// ---- checksum file ------------------------------------------------------------------------
// Beside an image ("backup.dat") may lie its checksum file ("backup.sum"), little-endian:
//
//   offset 0   magic "HLCK", version 1, XXH3-64 of the 20-byte backup header
//   offset 16  one XXH3-64 per cluster record (its 12-byte header and its data), image order
//   at end-28  record count (64 bits), image size in bytes (64 bits), XXH3-64 of every byte of
//              the file before this word, magic "HLCE"
//
// XXH3-64 is xxHash's (XXH3_64bits, seed 0). The file is whole only when its size is
// 16 + 8 * count + 28 and its own hash matches; an image without one is "not yet checked".
constexpr std::size_t kChecksumHeaderSize = 16;
constexpr std::size_t kChecksumTrailerSize = 28;
constexpr std::size_t kChecksumEntrySize = 8;
constexpr std::uint32_t kChecksumMagic = 0x4B434C48;    // "HLCK" as stored
constexpr std::uint32_t kChecksumEndMagic = 0x45434C48; // "HLCE" as stored
constexpr std::uint32_t kChecksumVersion = 1;
// Bytes of the trailer that its own hash covers (the count and the size).
constexpr std::size_t kChecksumTrailerHashed = 16;

struct ChecksumHeader {
    std::uint32_t magic = kChecksumMagic;
    std::uint32_t version = kChecksumVersion;
    std::uint64_t headerHash = 0;

    bool operator==(const ChecksumHeader&) const = default;
};

struct ChecksumTrailer {
    std::uint64_t recordCount = 0;
    std::uint64_t imageSize = 0;
    std::uint64_t fileHash = 0;
    std::uint32_t magic = kChecksumEndMagic;

    bool operator==(const ChecksumTrailer&) const = default;
};

void EncodeChecksumHeader(const ChecksumHeader& header, std::uint8_t out[kChecksumHeaderSize]);
ChecksumHeader DecodeChecksumHeader(const std::uint8_t in[kChecksumHeaderSize]);
void EncodeChecksumTrailer(const ChecksumTrailer& trailer, std::uint8_t out[kChecksumTrailerSize]);
ChecksumTrailer DecodeChecksumTrailer(const std::uint8_t in[kChecksumTrailerSize]);
void EncodeChecksumEntry(std::uint64_t hash, std::uint8_t out[kChecksumEntrySize]);
std::uint64_t DecodeChecksumEntry(const std::uint8_t in[kChecksumEntrySize]);

// Size of a whole checksum file of `recordCount` records.
constexpr std::uint64_t ChecksumFileSize(std::uint64_t recordCount)
{
    return kChecksumHeaderSize + kChecksumEntrySize * recordCount + kChecksumTrailerSize;
}

// A stored header usable for an inquiry or a restore.
inline bool IsUsableClusterSize(std::uint32_t clusterSize)
{
    return clusterSize <= kMaxClusterSize;
}

} // namespace BackupDataLayout
