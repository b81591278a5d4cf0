// Words and payload sizes of the conversation between a Quarnex server and the backup service.
// Every multi-byte integer on the wire is an unsigned 32-bit big-endian word.
#pragma once

#include <cstddef>
#include <cstdint>

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
constexpr std::size_t SFS_HELLO_SIZE = 24;  // serialNumber, full, clusterSize, headerParam1..3
constexpr std::size_t SFS_SIZE_SIZE = 4;    // estimated number of clusters
constexpr std::size_t SFS_SERIAL_SIZE = 4;  // INQUIRY and RESTORE: requesting serialNumber
constexpr std::size_t HEADER_SIZE = 12;     // ClusterHeader: blockID, mode, length
constexpr std::size_t SFS_BACKUP_HEADER_SIZE = 20;

// Mode bits of a ClusterHeader (bit 0 wins when both are set).
constexpr std::uint32_t SFS_MODE_SCRATCH = 0x1;
constexpr std::uint32_t SFS_MODE_MAIN = 0x2;

// Largest clusterSize the service accepts (a stored header above it can never be restored).
constexpr std::uint32_t SFS_MAX_CLUSTER_SIZE = 65536;
