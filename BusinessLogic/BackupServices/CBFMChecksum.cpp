#include "CBFMChecksum.h"

#include <xxhash.h>
#if defined(__x86_64__)
// The library's run-time choice of the widest vector unit (AVX2 where there is one: about half
// again as fast as its SSE2 default on large blocks in the cache, but slower on small ones).
#define XXH_DISPATCH_DISABLE_REPLACE
#include <xxh_x86dispatch.h>
#define HL_XXH3_DISPATCH 1
#endif

#include <algorithm>

#include "CBFMFile.h"
#include "CLog.h"
#include "Platform.h"

using namespace BackupDataLayout;

namespace {

constexpr int kLogCategory = 32;
constexpr std::size_t kBufferSize = 64 * 1024;

} // namespace

std::uint64_t CBFMChecksum::Hash(const void* data, std::size_t size)
{
#if defined(HL_XXH3_DISPATCH)
    // Both give the same value; the dispatching one only pays off on long blocks.
    if (size >= 4096)
        return XXH3_64bits_dispatch(data, size);
#endif
    return XXH3_64bits(data, size);
}

std::string CBFMChecksum::PathFor(const std::string& dataFilePath)
{
    const std::size_t slash = dataFilePath.find_last_of('/');
    const std::size_t dot = dataFilePath.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? dataFilePath.substr(0, dot) : dataFilePath) + ".sum";
}

CBFMChecksum::~CBFMChecksum()
{
    if (m_writing && m_fd >= 0) {
        Close();
        hl::Os().DeleteFile(m_path);
    }
    Close();
}

void CBFMChecksum::Close()
{
    if (m_fd >= 0)
        hl::Os().Close(m_fd);
    m_fd = -1;
    if (m_fileHash)
        XXH3_freeState(m_fileHash);
    m_fileHash = nullptr;
}

bool CBFMChecksum::StartFileHash()
{
    if (!m_fileHash)
        m_fileHash = XXH3_createState();
    return m_fileHash && XXH3_64bits_reset(m_fileHash) == XXH_OK;
}

// ---- writing ------------------------------------------------------------------------------

bool CBFMChecksum::Begin(const std::string& path, const BackupHeader& header)
{
    hl::Platform& os = hl::Os();
    if (m_fd >= 0) {
        Close();
        if (m_writing)
            os.DeleteFile(m_path);
    }
    m_path = path;
    m_writing = true;
    m_failed = false;
    m_records = 0;
    m_fill = 0;
    m_buffer.assign(kBufferSize, 0);
    m_fd = os.OpenFile(path, hl::OpenMode::Truncate);
    if (m_fd < 0 || !StartFileHash()) {
        Close();
        // A stale file of an earlier run must not outlive a run that could not write its own.
        if (os.PathExists(path))
            os.DeleteFile(path);
        CLog::Warn(kLogCategory, "CBFMChecksum::Begin(): unable to create %s\n", path.c_str());
        m_writing = false;
        return false;
    }
    std::uint8_t bytes[kBackupHeaderSize];
    EncodeBackupHeader(header, bytes);
    ChecksumHeader sumHeader;
    sumHeader.headerHash = Hash(bytes, sizeof bytes);
    std::uint8_t out[kChecksumHeaderSize];
    EncodeChecksumHeader(sumHeader, out);
    m_imageSize = kBackupHeaderSize;
    return WriteOut(out, sizeof out);
}

void CBFMChecksum::AddRecord(const std::uint8_t* record, std::size_t size)
{
    if (m_fd < 0 || !m_writing)
        return;
    AddRecordHash(Hash(record, size), size);
}

void CBFMChecksum::AddRecordHash(std::uint64_t hash, std::size_t size)
{
    if (m_fd < 0 || !m_writing)
        return;
    std::uint8_t entry[kChecksumEntrySize];
    EncodeChecksumEntry(hash, entry);
    WriteOut(entry, sizeof entry);
    ++m_records;
    m_imageSize += size;
}

bool CBFMChecksum::WriteOut(const std::uint8_t* data, std::size_t size)
{
    if (m_failed)
        return false;
    while (size > 0) {
        if (m_fill == m_buffer.size() && !FlushBuffer())
            return false;
        const std::size_t piece = std::min(size, m_buffer.size() - m_fill);
        std::copy(data, data + piece, m_buffer.begin() + std::ptrdiff_t(m_fill));
        m_fill += piece;
        data += piece;
        size -= piece;
    }
    return true;
}

bool CBFMChecksum::FlushBuffer()
{
    if (m_fill == 0)
        return !m_failed;
    XXH3_64bits_update(m_fileHash, m_buffer.data(), m_fill);
    if (!hl::Os().Write(m_fd, m_buffer.data(), m_fill))
        m_failed = true;
    m_fill = 0;
    return !m_failed;
}

bool CBFMChecksum::Finish()
{
    if (m_fd < 0 || !m_writing)
        return false;
    hl::Platform& os = hl::Os();
    // Everything before the file's own hash is counted, the trailer's count and size included.
    std::uint8_t trailer[kChecksumTrailerSize];
    ChecksumTrailer end;
    end.recordCount = m_records;
    end.imageSize = m_imageSize;
    EncodeChecksumTrailer(end, trailer);
    bool ok = WriteOut(trailer, kChecksumTrailerHashed) && FlushBuffer();
    if (ok) {
        end.fileHash = XXH3_64bits_digest(m_fileHash);
        EncodeChecksumTrailer(end, trailer);
        ok =
            os.Write(m_fd, trailer + kChecksumTrailerHashed, kChecksumTrailerSize - kChecksumTrailerHashed) &&
            os.Sync(m_fd);
    }
    Close();
    m_writing = false;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    if (!ok) {
        CLog::Warn(kLogCategory, "CBFMChecksum::Finish(): unable to write %s\n", m_path.c_str());
        os.DeleteFile(m_path);
    }
    return ok;
}

bool CBFMChecksum::WriteForImage(CBFMFile& image, const std::string& path)
{
    if (image.Seek(0, 0) != 0)
        return false;
    std::uint8_t headerBytes[kBackupHeaderSize];
    std::uint32_t got = 0;
    if (!image.Read(headerBytes, sizeof headerBytes, got))
        return false;
    const BackupHeader header = DecodeBackupHeader(headerBytes);
    if (!IsUsableClusterSize(header.clusterSize))
        return false;
    CBFMChecksum sum;
    if (!sum.Begin(path, header))
        return false;
    std::vector<std::uint8_t> record(kClusterHeaderSize + std::size_t(header.clusterSize));
    const std::int64_t size = image.GetSize();
    std::int64_t pos = kBackupHeaderSize;
    while (pos < size) {
        if (!image.Read(record.data(), kClusterHeaderSize, got))
            return false;
        const std::uint32_t length = DecodeClusterHeader(record.data()).length;
        if (length > header.clusterSize ||
            (length > 0 && !image.Read(record.data() + kClusterHeaderSize, length, got)))
            return false;
        sum.AddRecord(record.data(), kClusterHeaderSize + length);
        pos += std::int64_t(RecordSize(length));
    }
    return sum.Finish();
}

// ---- reading ------------------------------------------------------------------------------

CBFMChecksum::Status CBFMChecksum::Open(const std::string& path)
{
    hl::Platform& os = hl::Os();
    Close();
    m_writing = false;
    m_path = path;
    m_next = 0;
    m_fill = 0;
    m_pos = 0;
    bool exists = false;
    if (!CBFMFile::Probe(path, exists))
        return Status::Unreadable;
    if (!exists)
        return Status::Missing;
    m_fd = os.OpenFile(path, hl::OpenMode::Read);
    if (m_fd < 0)
        return Status::Unreadable;
    const std::int64_t size = os.FileSizeOf(m_fd);
    if (size < 0)
        return Status::Unreadable;
    if (std::uint64_t(size) < ChecksumFileSize(0))
        return Status::Damaged;
    std::uint8_t head[kChecksumHeaderSize];
    if (os.ReadAt(m_fd, head, sizeof head, 0) != std::int64_t(sizeof head))
        return Status::Unreadable;
    m_header = DecodeChecksumHeader(head);
    if (m_header.magic != kChecksumMagic)
        return Status::Damaged;
    if (m_header.version != kChecksumVersion)
        return Status::Unsupported;
    std::uint8_t tail[kChecksumTrailerSize];
    const std::uint64_t tailAt = std::uint64_t(size) - kChecksumTrailerSize;
    if (os.ReadAt(m_fd, tail, sizeof tail, tailAt) != std::int64_t(sizeof tail))
        return Status::Unreadable;
    m_trailer = DecodeChecksumTrailer(tail);
    if (m_trailer.magic != kChecksumEndMagic ||
        m_trailer.recordCount > (std::uint64_t(size) - ChecksumFileSize(0)) / kChecksumEntrySize ||
        ChecksumFileSize(m_trailer.recordCount) != std::uint64_t(size))
        return Status::Damaged;
    // The file's own hash: a damaged entry must not be taken for a damaged record.
    m_buffer.assign(kBufferSize, 0);
    if (!StartFileHash())
        return Status::Unreadable;
    const std::uint64_t counted = tailAt + kChecksumTrailerHashed;
    for (std::uint64_t at = 0; at < counted;) {
        const std::size_t want = std::size_t(std::min<std::uint64_t>(m_buffer.size(), counted - at));
        if (os.ReadAt(m_fd, m_buffer.data(), want, at) != std::int64_t(want))
            return Status::Unreadable;
        XXH3_64bits_update(m_fileHash, m_buffer.data(), want);
        at += want;
    }
    if (XXH3_64bits_digest(m_fileHash) != m_trailer.fileHash)
        return Status::Damaged;
    m_loaded = kChecksumHeaderSize;
    return Status::Whole;
}

bool CBFMChecksum::HeaderMatches(const BackupDataLayout::BackupHeader& header) const
{
    // The codec is exact: the header encoded again is the bytes that were hashed.
    std::uint8_t bytes[BackupDataLayout::kBackupHeaderSize];
    BackupDataLayout::EncodeBackupHeader(header, bytes);
    return Hash(bytes, sizeof bytes) == HeaderHash();
}

bool CBFMChecksum::NextRecordMatches(const std::uint8_t* record, std::size_t size)
{
    return NextRecordMatches(Hash(record, size));
}

bool CBFMChecksum::NextRecordMatches(std::uint64_t hash)
{
    std::uint64_t expected = 0;
    return NextRecordHash(expected) && hash == expected;
}

bool CBFMChecksum::NextRecordHash(std::uint64_t& hash)
{
    if (m_fd < 0 || m_writing || m_next >= m_trailer.recordCount)
        return false;
    if (m_fill - m_pos < kChecksumEntrySize) {
        const std::uint64_t end = kChecksumHeaderSize + kChecksumEntrySize * m_trailer.recordCount;
        const std::size_t want = std::size_t(std::min<std::uint64_t>(m_buffer.size(), end - m_loaded));
        const std::int64_t got = hl::Os().ReadAt(m_fd, m_buffer.data(), want, m_loaded);
        if (got != std::int64_t(want) || want < kChecksumEntrySize)
            return false;
        m_loaded += want;
        m_fill = want;
        m_pos = 0;
    }
    hash = DecodeChecksumEntry(m_buffer.data() + m_pos);
    m_pos += kChecksumEntrySize;
    ++m_next;
    return true;
}
