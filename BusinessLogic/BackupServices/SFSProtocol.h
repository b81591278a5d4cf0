// Words and payload sizes of the conversation between a Quarnex server and the backup service.
// Every multi-byte integer on the wire is an unsigned 32-bit big-endian word. The two records
// that travel on the wire as well as on disk, the cluster header and the backup header, are
// encoded by BackupDataLayout.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "BackupDataLayout.h"

// Command words (Quarnex server to service; the service sends CLUSTER and DONE back during a
// restore).
constexpr std::uint32_t SFS_CMD_HELLO = 0x55AA0001;
constexpr std::uint32_t SFS_CMD_SIZE = 0x55AA0002;
constexpr std::uint32_t SFS_CMD_CLUSTER = 0x55AA0003;
constexpr std::uint32_t SFS_CMD_DONE = 0x55AA0004;
constexpr std::uint32_t SFS_CMD_PING = 0x55AA0005;
constexpr std::uint32_t SFS_CMD_RESTORE = 0x55AA0006;
constexpr std::uint32_t SFS_CMD_INQUIRY = 0x55AA0007;

// Never sent: what waiting for a command yields when the worker was told to stop.
constexpr std::uint32_t SFS_WAIT_STOPPED = 0x55AA0099;

// Response words.
constexpr std::uint32_t SFS_RSP_OK = 0x00000000;
constexpr std::uint32_t SFS_RSP_ERROR = 0xFFFFFFFF;

// Payload sizes.
constexpr std::size_t SFS_WORD_SIZE = 4;   // a command or response word
constexpr std::size_t SFS_HELLO_SIZE = 24; // serialNumber, full, clusterSize, headerParam1..3
constexpr std::size_t SFS_SIZE_SIZE = 4;   // estimated number of clusters
constexpr std::size_t SFS_SERIAL_SIZE = 4; // INQUIRY and RESTORE: requesting serialNumber
constexpr std::size_t HEADER_SIZE = BackupDataLayout::kClusterHeaderSize; // ClusterHeader after CLUSTER

// One word on the wire.
inline void SFS_PutWord(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}
inline std::uint32_t SFS_GetWord(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}
