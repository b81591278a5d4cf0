#include "HLKRecordIO.h"

#include <cstdio>
#include <string>

#include "BackupDataLayout.h"
#include "CBFMFile.h"
#include "HLKInternal.h"
#include "Platform.h"

using BackupDataLayout::kBackupHeaderSize;
using BackupDataLayout::kClusterHeaderSize;

int HLKRecordIO::writeBackupHeader(CBFMFile& file, const BackupDataLayout::BackupHeader& header)
{
    std::uint8_t bytes[kBackupHeaderSize];
    BackupDataLayout::EncodeBackupHeader(header, bytes);
    std::uint32_t written = 0;
    if (file.Write(bytes, sizeof bytes, written))
        return 0;

    char message[256];
    const std::string text = hl::Os().ErrorText(hl::Platform::LastError());
    if (!text.empty())
        std::snprintf(message, sizeof message, "HLK Thread writeBackupHeader(): %s", text.c_str());
    else
        std::snprintf(message, sizeof message, "%s",
                      "HLK Thread writeBackupHeader(): An error occured writing the backup header to file\n");
    HLK_ERROR("%s", message);
    return -1;
}

bool HLKRecordIO::readBackupHeader(CBFMFile& file, BackupDataLayout::BackupHeader& header)
{
    std::uint8_t bytes[kBackupHeaderSize];
    std::uint32_t got = 0;
    if (!file.Read(bytes, sizeof bytes, got))
        return false;
    header = BackupDataLayout::DecodeBackupHeader(bytes);
    return true;
}

bool HLKRecordIO::readRecordHeader(CBFMFile& file, std::uint8_t header[kClusterHeaderSize], bool& ended)
{
    ended = false;
    std::uint32_t got = 0;
    if (file.Read(header, kClusterHeaderSize, got))
        return true;
    // Nothing at all left is the end of the records; part of a header is damage.
    if (got == 0 && file.Seek(0, 1) >= file.GetSize())
        ended = true;
    return false;
}

int HLKRecordIO::writeClusterBlk(CBFMFile& file, const std::uint8_t* header, const std::uint8_t* data,
                                 std::uint32_t length)
{
    std::uint32_t written = 0;
    bool ok = true;
    if (header)
        ok = file.Write(header, kClusterHeaderSize, written);
    if (ok && length > 0)
        ok = file.Write(data, length, written);
    if (!ok) {
        HLK_ERROR("HLKServer writeClusterBlk(): failed\n");
        return -1;
    }
    return 0;
}
