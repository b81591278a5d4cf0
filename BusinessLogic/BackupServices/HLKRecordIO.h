// HLKRecordIO: reads and writes the backup header and the cluster records of a data file
// (main, TmpMain, TmpScratch, TmpMerge) for the transfer, the merges and the restore.
//
// Every byte of a stored image is written through writeBackupHeader and writeClusterBlk:
// into the merge file, or, for a full backup without scratch clusters (committed without a
// merge), into TmpMain as the transfer arrives (xactSize, then xactCluster for each main record).
#pragma once

#include <cstdint>

#include "BackupDataLayout.h"

class CBFMFile;

class HLKRecordIO {
public:
    static int writeBackupHeader(CBFMFile& file, const BackupDataLayout::BackupHeader& header);
    static bool readBackupHeader(CBFMFile& file, BackupDataLayout::BackupHeader& header);
    // The next record's header bytes as stored (decode them with DecodeClusterHeader). False with `ended` set at the clean end of
    // the records; false without it for a read failure or a partial header (damage).
    static bool readRecordHeader(CBFMFile& file, std::uint8_t header[BackupDataLayout::kClusterHeaderSize],
                                 bool& ended);
    // The record header (when given) and `length` data bytes.
    static int writeClusterBlk(CBFMFile& file, const std::uint8_t* header, const std::uint8_t* data,
                               std::uint32_t length);
};
