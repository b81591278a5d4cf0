#include "SessionData.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMServer.h"
#include "Platform.h"

namespace {

std::atomic<std::uint64_t> g_wideScratchOffset{SessionData::kWideScratchOffset};

} // namespace

void SessionData::SetWideScratchOffset(std::uint64_t offset)
{
    g_wideScratchOffset = std::min(offset, kWideScratchOffset);
}

std::uint64_t SessionData::WideScratchOffset()
{
    return g_wideScratchOffset;
}

SessionData::SessionData() = default;
SessionData::~SessionData() = default;

void SessionData::closeSocket()
{
    if (socket >= 0)
        hl::Os().Close(socket);
    socket = -1;
}

void SessionData::releaseBackup()
{
    mainChecksum.reset();
    tmpMain.reset();
    tmpScratch.reset();
    if (backup) {
        const std::string name = backup->GetName();
        backup->Cleanup();
        if (server)
            server->RemoveBackupDirectory(name);
        backup.reset();
    }
}

BackupDataLayout::BackupHeader SessionData::backupHeader() const
{
    return BackupDataLayout::BackupHeader{serialNumber, clusterSize, headerParam1, headerParam2,
                                          headerParam3};
}

void SessionData::release()
{
    releaseBackup();
    server.reset();
    clusterBuffer = std::vector<std::uint8_t>();
    scratchIndex = std::vector<ScratchIndexEntry>();
    wideScratchIndex = std::vector<WideScratchIndexEntry>();
}
