#include "BackupDataLayout.h"

namespace BackupDataLayout {

namespace {

void PutLE32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

std::uint32_t GetLE32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void PutBE32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

std::uint32_t GetBE32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

void PutLE64(std::uint8_t* p, std::uint64_t v)
{
    PutLE32(p, std::uint32_t(v));
    PutLE32(p + 4, std::uint32_t(v >> 32));
}

std::uint64_t GetLE64(const std::uint8_t* p)
{
    return std::uint64_t(GetLE32(p)) | std::uint64_t(GetLE32(p + 4)) << 32;
}

} // namespace

void EncodeBackupHeader(const BackupHeader& header, std::uint8_t out[kBackupHeaderSize])
{
    PutLE32(out + 0, header.serialNumber);
    PutLE32(out + 4, header.clusterSize);
    PutLE32(out + 8, header.headerParam1);
    PutLE32(out + 12, header.headerParam2);
    PutLE32(out + 16, header.headerParam3);
}

BackupHeader DecodeBackupHeader(const std::uint8_t in[kBackupHeaderSize])
{
    return BackupHeader{GetLE32(in + 0), GetLE32(in + 4), GetLE32(in + 8), GetLE32(in + 12),
                        GetLE32(in + 16)};
}

void EncodeBackupHeaderWire(const BackupHeader& header, std::uint8_t out[kBackupHeaderSize])
{
    PutBE32(out + 0, header.serialNumber);
    PutBE32(out + 4, header.clusterSize);
    PutBE32(out + 8, header.headerParam1);
    PutBE32(out + 12, header.headerParam2);
    PutBE32(out + 16, header.headerParam3);
}

void EncodeClusterHeader(const ClusterHeader& header, std::uint8_t out[kClusterHeaderSize])
{
    PutBE32(out + 0, header.blockID);
    PutBE32(out + 4, header.mode);
    PutBE32(out + 8, header.length);
}

ClusterHeader DecodeClusterHeader(const std::uint8_t in[kClusterHeaderSize])
{
    return ClusterHeader{GetBE32(in + 0), GetBE32(in + 4), GetBE32(in + 8)};
}

void EncodeChecksumHeader(const ChecksumHeader& header, std::uint8_t out[kChecksumHeaderSize])
{
    PutLE32(out + 0, header.magic);
    PutLE32(out + 4, header.version);
    PutLE64(out + 8, header.headerHash);
}

ChecksumHeader DecodeChecksumHeader(const std::uint8_t in[kChecksumHeaderSize])
{
    return ChecksumHeader{GetLE32(in + 0), GetLE32(in + 4), GetLE64(in + 8)};
}

void EncodeChecksumTrailer(const ChecksumTrailer& trailer, std::uint8_t out[kChecksumTrailerSize])
{
    PutLE64(out + 0, trailer.recordCount);
    PutLE64(out + 8, trailer.imageSize);
    PutLE64(out + 16, trailer.fileHash);
    PutLE32(out + 24, trailer.magic);
}

ChecksumTrailer DecodeChecksumTrailer(const std::uint8_t in[kChecksumTrailerSize])
{
    return ChecksumTrailer{GetLE64(in + 0), GetLE64(in + 8), GetLE64(in + 16), GetLE32(in + 24)};
}

void EncodeChecksumEntry(std::uint64_t hash, std::uint8_t out[kChecksumEntrySize])
{
    PutLE64(out, hash);
}

std::uint64_t DecodeChecksumEntry(const std::uint8_t in[kChecksumEntrySize])
{
    return GetLE64(in);
}

std::uint64_t EstimateRecordCount(std::int64_t fileSize, std::uint32_t clusterSize)
{
    if (fileSize <= std::int64_t(kBackupHeaderSize))
        return 0;
    return std::uint64_t(fileSize - std::int64_t(kBackupHeaderSize)) /
           (std::uint64_t(clusterSize) + kClusterHeaderSize);
}

} // namespace BackupDataLayout
