// HLKRecordIO: reads and writes the backup header and the cluster records of a data file
// (main, TmpMain, TmpScratch, TmpMerge) for the transfer, the merges and the restore.
#pragma once

#include <cstdint>

class CBFMFile;

class HLKRecordIO {
public:
    // The five header words (serialNumber, clusterSize, headerParam1..3) as the stored header.
    static int writeBackupHeader(CBFMFile& file, const std::uint32_t words[5]);
    static bool readBackupHeader(CBFMFile& file, std::uint32_t header[5]);
    // The next record's 12 header bytes as stored. False with `ended` set at the clean end of
    // the records; false without it for a read failure or a partial header (damage).
    static bool readRecordHeader(CBFMFile& file, std::uint8_t header[12], bool& ended);
    // The record header (when given) and `length` data bytes.
    static int writeClusterBlk(CBFMFile& file, const std::uint8_t* header, const std::uint8_t* data,
                               std::uint32_t length);
};
