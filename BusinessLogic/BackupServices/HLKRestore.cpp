#include "HLKRestore.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "HLKInternal.h"
#include "HLKPeerGate.h"
#include "HLKRecordIO.h"
#include "HLKWire.h"
#include "SFSProtocol.h"
#include "SessionData.h"

using BackupDataLayout::BackupHeader;
using BackupDataLayout::kClusterHeaderSize;

namespace {

const char* const kUnit = "BusinessLogic/BackupServices/HLKRestore";

// The stored header, encoded again (the codec is exact), against its checksum.
bool HeaderMatches(const BackupHeader& header, const CBFMChecksum& sum)
{
    std::uint8_t bytes[BackupDataLayout::kBackupHeaderSize];
    BackupDataLayout::EncodeBackupHeader(header, bytes);
    return CBFMChecksum::Hash(bytes, sizeof bytes) == sum.HeaderHash();
}

// The record's header and data (side by side) against the next checksum of the file.
bool RecordMatches(const std::uint8_t* record, std::size_t size, CBFMChecksum& sum)
{
    std::uint64_t expected = 0;
    return sum.NextRecordHash(expected) && CBFMChecksum::Hash(record, size) == expected;
}

bool validateBackupHeader(const BackupHeader& header)
{
    if (BackupDataLayout::IsUsableClusterSize(header.clusterSize))
        return true;
    HLK_ERROR("HLKServer validateBackupHeader(): clusterSize too big.\n");
    return false;
}

bool sendBackupHeader(const BackupHeader& header, int socket)
{
    std::uint8_t bytes[BackupDataLayout::kBackupHeaderSize];
    BackupDataLayout::EncodeBackupHeaderWire(header, bytes);
    if (HLKWire::socketWrite(socket, bytes, sizeof bytes) != 0) {
        HLK_NOTIFY(NotifyError(HLK_ERR_COMMUNICATION));
        return false;
    }
    return true;
}

bool getBackupSerialNumber(CBFMBackup& backup, std::uint32_t& serial)
{
    std::unique_ptr<CBFMFile> file = backup.OpenBFMFile(CBFMBackup::BackupFile);
    if (!file) {
        HLK_ERROR("HLKServer getBackupSerialNumber(): Error Opening backup file.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    BackupHeader header;
    if (!HLKRecordIO::readBackupHeader(*file, header)) {
        HLK_ERROR("HLKServer getBackupSerialNumber(): Error reading backup file header.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    serial = header.serialNumber;
    return true;
}

bool findBackupForRestore(SessionData& session, bool prompt)
{
    if (session.backup)
        return true;
    const std::string requester = HLKWire::formatServerId(session.serialNumber);
    std::string serverName;
    std::string backupName;
    const std::shared_ptr<CBFMRepository> repo = HLKInternal::Repository();
    if (!repo || !repo->GetRestoreBackup(requester, serverName, backupName)) {
        HLK_ERROR("HLKServer findBackupForRestore(): No backup available for restore.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    session.server = repo->GetServer(serverName);
    if (!session.server) {
        HLK_ERROR("HLKServer findBackupForRestore(): GetServer() failed for %s\n", serverName.c_str());
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    session.backup = session.server->GetBackup(backupName);
    if (!session.backup) {
        HLK_ERROR("HLKServer findBackupForRestore(): GetBackup() failed for %s\n", backupName.c_str());
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return false;
    }
    if (prompt) {
        std::uint32_t backupSerial = 0;
        if (!getBackupSerialNumber(*session.backup, backupSerial))
            return false;
        const std::shared_ptr<GUIComm> gui = HLKInternal::Channel();
        bool accepted = false;
        // Without a window nobody can accept the restore.
        if (gui == nullptr ||
            !gui->PromptForRestore(session.serialNumber, backupSerial, session.backup->LastBackupDate(), accepted) ||
            !accepted)
            return false;
    }
    return true;
}

} // namespace

int HLKRestore::xactInquiry(SessionData& session)
{
    HLK_DEBUG("HLKServer xactInquiry(): Processing INQUIRY header data.\n");
    std::uint8_t payload[SFS_SERIAL_SIZE];
    if (HLKWire::fillBuffer(session, payload, sizeof payload) != 0) {
        HLK_ERROR("HLKServer xactInquiry(): Error filling command buffer.\n");
        if (HLKWire::sendResponse(session.socket, SFS_RSP_ERROR) != 0)
            HLK_INTERNAL();
        return -1;
    }
    session.serialNumber = SFS_GetWord(payload);
    HLK_DEBUG("HLKServer xactInquiry(): Processing INQUIRY for S/N=0x%08X.\n", session.serialNumber);

    if (!findBackupForRestore(session, true)) {
        HLK_ERROR("HLKServer xactInquiry(): No backup available for restore.\n");
        HLKWire::sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }
    HLKPeerGate::inquiryAccepted(session);
    if (session.state != SessionState::Idle)
        HLK_WARN("HLKServer xactInquiry(): Incorrect state for INQUIRY command.\n");
    HLK_DEBUG("HLKServer xactInquiry(): INQUIRY command itself sucessful.\n");
    if (HLKWire::sendResponse(session.socket, SFS_RSP_OK) != 0) {
        HLK_ERROR("HLKServer xactInquiry(): Error sending success response.\n");
        return -1;
    }
    return 0;
}

int HLKRestore::xactRestore(SessionData& session)
{
    HLK_DEBUG("HLKServer xactRestore(): Processing RESTORE header data.\n");
    std::uint8_t payload[SFS_SERIAL_SIZE];
    if (HLKWire::fillBuffer(session, payload, sizeof payload) != 0) {
        HLK_ERROR("HLKServer xactRestore(): xactRestore(): Error filling command buffer.\n");
        return -1;
    }
    session.serialNumber = SFS_GetWord(payload);
    if (HLKPeerGate::refuseRestore(session))
        return -1;

    if (!findBackupForRestore(session, false)) {
        HLK_ERROR("HLKServer xactRestore(): No backup available for restore.\n");
        HLKWire::sendResponse(session.socket, SFS_RSP_ERROR);
        return -1;
    }
    if (session.state != SessionState::Idle)
        HLK_WARN("HLKServer xactRestore(): Incorrect state for RESTORE command.\n");
    HLK_DEBUG("HLKServer xactRestore(): RESTORE command itself sucessful.\n");
    if (HLKWire::sendResponse(session.socket, SFS_RSP_OK) != 0) {
        HLK_ERROR("HLKServer xactRestore(): xactRestore(): Error sending success response.\n");
        return -1;
    }
    return 0;
}

int HLKRestore::finishInquiry(SessionData& session)
{
    HLK_DEBUG("HLKServer finishInquiry(): Processing INQUIRY: Opening backup file.\n");
    std::unique_ptr<CBFMFile> file = session.backup->OpenBFMFile(CBFMBackup::BackupFile);
    if (!file) {
        HLK_ERROR("HLKServer finishInquiry(): OpenBFMFile() failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return -1;
    }
    BackupHeader header;
    int result = -1;
    if (!HLKRecordIO::readBackupHeader(*file, header)) {
        HLK_ERROR("HLKServer finishInquiry(): Error reading backup file header.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
    } else if (!validateBackupHeader(header)) {
        HLK_ERROR("HLKServer finishInquiry(): Error validating backup file header.\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
    } else if (!sendBackupHeader(header, session.socket)) {
        HLK_ERROR("HLKServer finishInquiry(): Error sending backup header info to server.\n");
    } else {
        HLK_DEBUG("HLKServer finishInquiry(): Processing INQUIRY: Transfer complete\n");
        result = 0;
    }
    return result;
}

int HLKRestore::finishRestore(SessionData& session)
{
    HLK_DEBUG("HLKServer finishRestore(): Processing restore: Opening original backup\n");
    // Every record is checked against the image's checksum file (when it has one) before it
    // is sent: damaged data never reaches the phone system.
    CBFMChecksum sum;
    CBFMChecksum::Status sumStatus = CBFMChecksum::Status::Missing;
    std::unique_ptr<CBFMFile> file = session.backup->OpenImageAndChecksum(sum, sumStatus);
    const bool checked = sumStatus == CBFMChecksum::Status::Whole;
    std::uint64_t recordsRead = 0;
    if (!file) {
        HLK_ERROR("HLKServer finishRestore(): OpenBFMFile() failed\n");
        HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
        return -1;
    }
    const std::int64_t fileSize = file->GetSize();
    bool success = false;
    BackupHeader header;

    do {
        if (!HLKRecordIO::readBackupHeader(*file, header)) {
            HLK_ERROR("HLKServer finishRestore(): Error reading backup file header.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            break;
        }
        if (checked && !HeaderMatches(header, sum)) {
            HLK_ERROR("HLKServer finishRestore(): Error reading backup file header.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            break;
        }
        if (!validateBackupHeader(header)) {
            HLK_ERROR("HLKServer finishRestore(): Error validating backup file header.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
            break;
        }
        if (!sendBackupHeader(header, session.socket)) {
            HLK_ERROR("HLKServer finishRestore(): Error sending backup header info to server.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_COMMUNICATION));
            break;
        }

        session.clusterSize = header.clusterSize;
        const std::uint64_t totalClusters =
            session.clusterSize ? std::uint64_t(fileSize) / session.clusterSize : 0;
        // Records are assembled (CLUSTER word, record header as stored, data) one after the
        // other in one send buffer and leave in large sends: a stream of small clusters would
        // otherwise cost one system call each.
        const std::size_t recordMax = SFS_WORD_SIZE + kClusterHeaderSize + std::size_t(session.clusterSize);
        std::vector<std::uint8_t> buffer;
        try {
            buffer.resize(std::max<std::size_t>(256 * 1024, recordMax));
        } catch (const std::bad_alloc&) {
            HLK_ERROR("HLKServer finishRestore(): Unable to allocate data buffers.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_INTERNAL));
            break;
        }

        HLK_DEBUG("HLKServer finishRestore(): Transferring all...\n");
        // The notification carries 32-bit MB: saturated, never wrapped.
        const std::uint64_t sizeMB = std::min<std::uint64_t>(std::uint64_t(fileSize) / 1048576, 0xFFFFFFFFu);
        HLK_NOTIFY(NotifyRestoreStarted(HLKWire::formatServerId(session.serialNumber).c_str(),
                                        static_cast<std::uint32_t>(sizeMB)));

        std::size_t pending = 0;
        auto flush = [&]() {
            if (pending == 0)
                return true;
            const bool ok = HLKWire::socketWrite(session.socket, buffer.data(), pending) == 0;
            pending = 0;
            if (!ok) {
                HLK_ERROR("HLKServer finishRestore(): Error writing data to server.\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_COMMUNICATION));
            }
            return ok;
        };

        std::uint64_t bytesSent = 0;
        std::int64_t lastReported = -1;
        bool sendFailed = false;
        for (;;) {
            if (buffer.size() - pending < recordMax && !flush()) {
                sendFailed = true;
                break;
            }
            std::uint8_t* record = buffer.data() + pending;
            std::uint8_t* recordHeader = record + SFS_WORD_SIZE;
            std::uint8_t* data = recordHeader + kClusterHeaderSize;
            bool ended = false;
            if (!HLKRecordIO::readRecordHeader(*file, recordHeader, ended)) {
                if (ended && checked && recordsRead != sum.RecordCount()) {
                    HLK_WARN("HLKServer finishRestore(): the image ends after %llu of its %llu records\n",
                             static_cast<unsigned long long>(recordsRead),
                             static_cast<unsigned long long>(sum.RecordCount()));
                    HLK_ERROR("HLKServer finishRestore(): Error reading file.\n");
                    HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
                } else if (ended) {
                    HLK_DEBUG("HLKServer finishRestore(): Processing restore: Transfer complete\n");
                    success = true;
                } else {
                    HLK_ERROR("HLKServer finishRestore(): Error reading file.\n");
                    HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
                }
                break;
            }
            const std::uint32_t length = BackupDataLayout::DecodeClusterHeader(recordHeader).length;
            std::uint32_t got = 0;
            // A record longer than the header's clusterSize is damage: it must not overrun.
            if (length > session.clusterSize || (length > 0 && !file->Read(data, length, got))) {
                HLK_ERROR("HLKServer finishRestore(): Error reading file.\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
                break;
            }
            if (checked && !RecordMatches(recordHeader, kClusterHeaderSize + length, sum)) {
                HLK_WARN("HLKServer finishRestore(): record %llu does not match its checksum\n",
                         static_cast<unsigned long long>(recordsRead));
                HLK_ERROR("HLKServer finishRestore(): Error reading file.\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
                break;
            }
            ++recordsRead;
            SFS_PutWord(record, SFS_CMD_CLUSTER);
            pending += SFS_WORD_SIZE + kClusterHeaderSize + length;

            bytesSent += length;
            const std::uint64_t clustersSent = session.clusterSize ? bytesSent / session.clusterSize : 0;
            if (clustersSent % 250 == 0 && totalClusters > 0 && std::int64_t(clustersSent) != lastReported) {
                lastReported = std::int64_t(clustersSent);
                HLK_NOTIFY(NotifyProgress(HLKInternal::Percent(std::int64_t(clustersSent), std::int64_t(totalClusters))));
            }
        }
        // What was read before the end (or before a damaged record) still goes out.
        if (!sendFailed && !flush())
            success = false;
    } while (false);

    HLK_NOTIFY(NotifyRestoreDone(success));
    return success ? 0 : -1;
}
