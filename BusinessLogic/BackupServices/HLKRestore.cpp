#include "HLKRestore.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
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

// A buffer of whole CLUSTER messages (word, record header as stored, data), ready to send,
// and how the records ended with it.
struct RestoreChunk {
    enum class End { More, Complete, ReadError };
    std::vector<std::uint8_t> bytes;
    std::size_t used = 0;
    std::uint64_t dataBytes = 0; // cluster data in it, for the progress
    End end = End::More;
};

// Reads and checks the image's records on a thread of its own, at most two buffers ahead of
// the sender, so that reading and checking overlap the sends instead of adding to them. Large
// buffers: a stream of small clusters would otherwise cost one system call each. Nothing here
// notifies the window; the sender does, on the worker's thread.
class RestoreReader {
public:
    RestoreReader(CBFMFile& file, CBFMChecksum* sum, std::uint32_t clusterSize)
        : m_file(file), m_sum(sum), m_clusterSize(clusterSize),
          m_recordMax(SFS_WORD_SIZE + kClusterHeaderSize + std::size_t(clusterSize))
    {}
    ~RestoreReader()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stop = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    RestoreReader(const RestoreReader&) = delete;
    RestoreReader& operator=(const RestoreReader&) = delete;

    // False when the buffers cannot be had or the thread cannot start.
    bool Start()
    {
        try {
            for (int i = 0; i < kBuffers; ++i) {
                RestoreChunk chunk;
                chunk.bytes.resize(std::max<std::size_t>(kBufferSize, m_recordMax));
                m_free.push_back(std::move(chunk));
            }
            m_thread = std::thread([this] { Run(); });
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

    // The next buffer in order; waits for it. The last one has End::Complete or End::ReadError.
    RestoreChunk Next()
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_changed.wait(guard, [this] { return !m_ready.empty(); });
        RestoreChunk chunk = std::move(m_ready.front());
        m_ready.pop_front();
        return chunk;
    }

    // A sent buffer goes back to be filled again.
    void Recycle(RestoreChunk&& chunk)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_free.push_back(std::move(chunk));
        }
        m_changed.notify_all();
    }

private:
    static constexpr int kBuffers = 3;
    static constexpr std::size_t kBufferSize = 256 * 1024;

    void Run()
    {
        for (;;) {
            RestoreChunk chunk;
            {
                std::unique_lock<std::mutex> guard(m_lock);
                m_changed.wait(guard, [this] { return m_stop || !m_free.empty(); });
                if (m_stop)
                    return;
                chunk = std::move(m_free.front());
                m_free.pop_front();
            }
            Fill(chunk);
            const bool last = chunk.end != RestoreChunk::End::More;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_ready.push_back(std::move(chunk));
            }
            m_changed.notify_all();
            if (last)
                return;
        }
    }

    // Fills the buffer with records until the next one might not fit, the records end or one
    // cannot be read or does not match its checksum.
    void Fill(RestoreChunk& chunk)
    {
        chunk.used = 0;
        chunk.dataBytes = 0;
        chunk.end = RestoreChunk::End::More;
        while (chunk.bytes.size() - chunk.used >= m_recordMax) {
            std::uint8_t* record = chunk.bytes.data() + chunk.used;
            std::uint8_t* recordHeader = record + SFS_WORD_SIZE;
            std::uint8_t* data = recordHeader + kClusterHeaderSize;
            bool ended = false;
            if (!HLKRecordIO::readRecordHeader(m_file, recordHeader, ended)) {
                if (ended && m_sum && m_recordsRead != m_sum->RecordCount()) {
                    HLK_WARN("HLKServer finishRestore(): the image ends after %llu of its %llu records\n",
                             static_cast<unsigned long long>(m_recordsRead),
                             static_cast<unsigned long long>(m_sum->RecordCount()));
                    chunk.end = RestoreChunk::End::ReadError;
                } else {
                    chunk.end = ended ? RestoreChunk::End::Complete : RestoreChunk::End::ReadError;
                }
                return;
            }
            const std::uint32_t length = BackupDataLayout::DecodeClusterHeader(recordHeader).length;
            std::uint32_t got = 0;
            // A record longer than the header's clusterSize is damage: it must not overrun.
            if (length > m_clusterSize || (length > 0 && !m_file.Read(data, length, got))) {
                chunk.end = RestoreChunk::End::ReadError;
                return;
            }
            if (m_sum && !m_sum->NextRecordMatches(recordHeader, kClusterHeaderSize + length)) {
                HLK_WARN("HLKServer finishRestore(): record %llu does not match its checksum\n",
                         static_cast<unsigned long long>(m_recordsRead));
                chunk.end = RestoreChunk::End::ReadError;
                return;
            }
            ++m_recordsRead;
            SFS_PutWord(record, SFS_CMD_CLUSTER);
            chunk.used += SFS_WORD_SIZE + kClusterHeaderSize + length;
            chunk.dataBytes += length;
        }
    }

    CBFMFile& m_file;
    CBFMChecksum* m_sum;
    const std::uint32_t m_clusterSize;
    const std::size_t m_recordMax;
    std::uint64_t m_recordsRead = 0;

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<RestoreChunk> m_free;
    std::deque<RestoreChunk> m_ready;
    bool m_stop = false;
    std::thread m_thread;
};

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
            !gui->PromptForRestore(session.serialNumber, backupSerial, session.backup->LastBackupDate(),
                                   accepted) ||
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
        if (checked && !sum.HeaderMatches(header)) {
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
        RestoreReader reader(*file, checked ? &sum : nullptr, session.clusterSize);
        if (!reader.Start()) {
            HLK_ERROR("HLKServer finishRestore(): Unable to allocate data buffers.\n");
            HLK_NOTIFY(NotifyError(HLK_ERR_INTERNAL));
            break;
        }

        HLK_DEBUG("HLKServer finishRestore(): Transferring all...\n");
        // The notification carries 32-bit MB: saturated, never wrapped.
        const std::uint64_t sizeMB = std::min<std::uint64_t>(std::uint64_t(fileSize) / 1048576, 0xFFFFFFFFu);
        HLK_NOTIFY(NotifyRestoreStarted(HLKWire::formatServerId(session.serialNumber).c_str(),
                                        static_cast<std::uint32_t>(sizeMB)));

        std::uint64_t bytesSent = 0;
        std::int64_t lastReported = -1;
        for (;;) {
            RestoreChunk chunk = reader.Next();
            // What was read before the end (or before a damaged record) still goes out.
            if (chunk.used > 0 && HLKWire::socketWrite(session.socket, chunk.bytes.data(), chunk.used) != 0) {
                HLK_ERROR("HLKServer finishRestore(): Error writing data to server.\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_COMMUNICATION));
                break;
            }
            bytesSent += chunk.dataBytes;
            const std::uint64_t clustersSent = session.clusterSize ? bytesSent / session.clusterSize : 0;
            if (totalClusters > 0 && std::int64_t(clustersSent / 250) != lastReported) {
                lastReported = std::int64_t(clustersSent / 250);
                HLK_NOTIFY(NotifyProgress(
                    HLKInternal::Percent(std::int64_t(clustersSent), std::int64_t(totalClusters))));
            }
            if (chunk.end == RestoreChunk::End::Complete) {
                HLK_DEBUG("HLKServer finishRestore(): Processing restore: Transfer complete\n");
                success = true;
                break;
            }
            if (chunk.end == RestoreChunk::End::ReadError) {
                HLK_ERROR("HLKServer finishRestore(): Error reading file.\n");
                HLK_NOTIFY(NotifyError(HLK_ERR_BACKUP_FOLDER_IO));
                break;
            }
            reader.Recycle(std::move(chunk));
        }
    } while (false);

    HLK_NOTIFY(NotifyRestoreDone(success));
    return success ? 0 : -1;
}
