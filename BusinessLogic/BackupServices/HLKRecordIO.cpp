#include "HLKRecordIO.h"

#include <cstdio>
#include <string>

#include "BackupDataLayout.h"
#include "CBFMFile.h"
#include "HLKInternal.h"
#include "Platform.h"
#include "SFSProtocol.h"

using BackupDataLayout::GetLE32;
using BackupDataLayout::PutLE32;

int HLKRecordIO::writeBackupHeader(CBFMFile& file, const std::uint32_t words[5])
{
    std::uint8_t bytes[SFS_BACKUP_HEADER_SIZE];
    for (int i = 0; i < 5; ++i)
        PutLE32(bytes + 4 * i, words[i]);
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

bool HLKRecordIO::readBackupHeader(CBFMFile& file, std::uint32_t header[5])
{
    std::uint8_t bytes[SFS_BACKUP_HEADER_SIZE];
    std::uint32_t got = 0;
    if (!file.Read(bytes, sizeof bytes, got))
        return false;
    for (int i = 0; i < 5; ++i)
        header[i] = GetLE32(bytes + 4 * i);
    return true;
}

bool HLKRecordIO::readRecordHeader(CBFMFile& file, std::uint8_t header[12], bool& ended)
{
    ended = false;
    std::uint32_t got = 0;
    if (file.Read(header, HEADER_SIZE, got))
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
        ok = file.Write(header, HEADER_SIZE, written);
    if (ok && length > 0)
        ok = file.Write(data, length, written);
    if (!ok) {
        HLK_ERROR("HLKServer writeClusterBlk(): failed\n");
        return -1;
    }
    return 0;
}
