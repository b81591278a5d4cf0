#include "CBFMFile.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "CClientExc.h"
#include "CInetHeaderParser.h"
#include "CLog.h"
#include "GUIComm.h"
#include "Platform.h"

namespace {

constexpr int kLogCategory = 32;
constexpr const char* kUnitPath = "BusinessLogic/BackupServices/CBFMFile";
// Large enough that a stream of cluster records costs one system call per few dozen records.
constexpr std::size_t kBufferSize = 256 * 1024;
// A read after a jump (a read by offset, as the merge reads the scratch file) fetches just
// what it asks for: reading ahead of a random record only copies bytes nobody uses. Reads that
// go on from there, or skip forward by less than this, count as sequential; their read-ahead
// starts at twice this and doubles up to the full buffer.
constexpr std::size_t kJumpReadAhead = 8 * 1024;
// Write-behind starts the disk on this much newly written data at a time.
constexpr std::uint32_t kWriteBehindChunk = 8 * 1024 * 1024;

const char* const kNumSubFiles = "NumSubFiles";
const char* const kMaxBytesPerSubFile = "MaxBytesPerSubFile";

std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace

// ---- names ------------------------------------------------------------------------------

CBFMFile::Names CBFMFile::Split(const std::string& path)
{
    // The last "." of the whole path, directories included.
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos)
        return Names{path, std::string()};
    return Names{path.substr(0, dot), path.substr(dot)};
}

std::string CBFMFile::SubFileName(const Names& names, int index)
{
    char number[16];
    std::snprintf(number, sizeof number, "%03d", index);
    return names.stem + "_" + number + names.extension;
}

std::string CBFMFile::ControlName(const Names& names)
{
    return names.stem + "_cfg" + names.extension;
}

std::string CBFMFile::SubFilePath(const std::string& path, int index)
{
    return SubFileName(Split(path), index);
}

std::string CBFMFile::ControlFilePath(const std::string& path)
{
    return ControlName(Split(path));
}

// ---- construction -----------------------------------------------------------------------

namespace {
std::atomic<std::int32_t> g_defaultMaxBytesPerSubFile{CBFMFile::kDefaultMaxBytesPerSubFile};
} // namespace

void CBFMFile::SetDefaultMaxBytesPerSubFile(std::int32_t bytes)
{
    g_defaultMaxBytesPerSubFile = bytes > 0 ? bytes : kDefaultMaxBytesPerSubFile;
}

std::int32_t CBFMFile::DefaultMaxBytesPerSubFile()
{
    return g_defaultMaxBytesPerSubFile;
}

CBFMFile::CBFMFile(const std::string& path, bool create) : CBFMFile(path, create, g_defaultMaxBytesPerSubFile)
{}

CBFMFile::CBFMFile(const std::string& path, bool create, std::int32_t maxBytesPerSubFile)
    : m_names(Split(path)), m_controlPath(ControlName(m_names)),
      m_maxBytesPerSubFile(kDefaultMaxBytesPerSubFile)
{
    if (create) {
        if (maxBytesPerSubFile > 0)
            m_maxBytesPerSubFile = maxBytesPerSubFile;
        if (!Create()) {
            CloseAll();
            throw CClientExc("Unable to create CBFMFile", 1234, kUnitPath, __LINE__);
        }
    } else {
        if (!Open()) {
            CloseAll();
            throw CClientExc("Unable to open CBFMFile", 1234, kUnitPath, __LINE__);
        }
    }
}

CBFMFile::~CBFMFile()
{
    if (!FlushWriteBuffer())
        CLog::Error(kLogCategory, "CBFMFile::~CBFMFile(): buffered data lost for %s\n",
                    m_controlPath.c_str());
    CloseAll();
}

void CBFMFile::CloseAll()
{
    for (int fd : m_handles)
        hl::Os().Close(fd);
    m_handles.clear();
}

bool CBFMFile::Create()
{
    m_readOnly = false;
    if (!DeleteSubFiles(m_names))
        return false;
    hl::Platform& os = hl::Os();
    if (os.PathExists(m_controlPath) && !os.DeleteFile(m_controlPath))
        CLog::Error(kLogCategory, "CBFMFile::Create(): DeleteFile() failed for %s\n", m_controlPath.c_str());
    return CreateSubFile();
}

bool CBFMFile::CreateSubFile()
{
    if (m_numSubFiles >= kMaxSubFiles) {
        CLog::Error(kLogCategory, "CBFMFile::CreateSubFile(): no more subfiles allowed\n");
        return false;
    }
    const std::string name = SubFileName(m_names, m_numSubFiles);
    const int fd = hl::Os().OpenFile(name, hl::OpenMode::Truncate);
    if (fd < 0) {
        CLog::Error(kLogCategory, "CBFMFile::CreateSubFile(): CreateFile() failed for %s\n", name.c_str());
        return false;
    }
    m_handles.push_back(fd);
    ++m_numSubFiles;
    m_lastSize = 0;
    return WriteControlFile();
}

// Rewritten in place and not synced: the series is still being filled, and Sync makes it
// durable once, before anything relies on it (a stored image is only ever renamed into place).
bool CBFMFile::WriteControlFile()
{
    CInetHeaderParser parser(true);
    parser.AddHeaderInt(kNumSubFiles, m_numSubFiles);
    parser.AddHeaderInt(kMaxBytesPerSubFile, m_maxBytesPerSubFile);
    const std::string text = parser.ToText();
    hl::Platform& os = hl::Os();
    const int fd = os.OpenFile(m_controlPath, hl::OpenMode::Truncate);
    if (fd < 0)
        return false;
    const bool written = os.Write(fd, text.data(), text.size());
    return os.Close(fd) && written;
}

bool CBFMFile::Open()
{
    m_readOnly = true;
    CInetHeaderParser parser(m_controlPath, true);
    if (!parser.IsLoaded())
        return false;
    std::int32_t numSubFiles = 0;
    std::int32_t maxBytes = 0;
    parser.GetParmInt(kNumSubFiles, kNumSubFiles, numSubFiles);
    parser.GetParmInt(kMaxBytesPerSubFile, kMaxBytesPerSubFile, maxBytes);
    // A count above the series limit cannot have been written by us: treat it as damage.
    if (numSubFiles <= 0 || maxBytes <= 0 || numSubFiles > kMaxSubFiles)
        return false;
    m_numSubFiles = numSubFiles;
    m_maxBytesPerSubFile = maxBytes;
    return OpenSubFiles();
}

bool CBFMFile::OpenSubFiles()
{
    hl::Platform& os = hl::Os();
    for (int i = 0; i < m_numSubFiles; ++i) {
        const std::string name = SubFileName(m_names, i);
        const int fd = os.OpenFile(name, hl::OpenMode::Read);
        if (fd < 0) {
            CLog::Error(kLogCategory, "CBFMFile::OpenSubFiles(): CreateFile() failed for %s\n", name.c_str());
            return false;
        }
        m_handles.push_back(fd);
        const std::int64_t size = os.FileSizeOf(fd);
        const bool last = i == m_numSubFiles - 1;
        // Every sub-file but the last is exactly full; the last may not exceed a full one,
        // or the logical size and positions would be wrong.
        const bool valid = last ? (size >= 0 && size <= m_maxBytesPerSubFile) : size == m_maxBytesPerSubFile;
        if (!valid) {
            CLog::Error(kLogCategory, "CBFMFile::OpenSubFiles(): GetFileSize() validation failed for %s\n",
                        name.c_str());
            return false;
        }
        if (last)
            m_lastSize = size;
    }
    return true;
}

// ---- positions --------------------------------------------------------------------------

std::int64_t CBFMFile::LogicalPosition() const
{
    return std::int64_t(m_currentIndex) * m_maxBytesPerSubFile + m_currentOffset;
}

std::int64_t CBFMFile::SizeOfLast()
{
    if (m_numSubFiles == 0)
        return 0;
    if (m_lastSize < 0) {
        const std::int64_t size = hl::Os().FileSizeOf(m_handles.back());
        if (size < 0)
            return 0;
        m_lastSize = size;
    }
    return m_lastSize;
}

std::int64_t CBFMFile::GetSize()
{
    FlushWriteBuffer();
    if (m_numSubFiles == 0)
        return 0;
    return std::int64_t(m_numSubFiles - 1) * m_maxBytesPerSubFile + SizeOfLast();
}

std::int64_t CBFMFile::Seek(std::int64_t offset, int origin)
{
    const std::int64_t size = GetSize(); // flushes pending writes
    std::int64_t target = 0;
    switch (origin) {
    case 0: target = offset; break;
    case 1: target = LogicalPosition() + offset; break;
    case 2: target = size + offset; break;
    default: target = 0; break;
    }
    if (target > size)
        target = size;
    if (target < 0)
        target = 0;
    m_currentIndex = std::int32_t(target / m_maxBytesPerSubFile);
    m_currentOffset = std::uint32_t(target % m_maxBytesPerSubFile);
    return target;
}

// ---- writing ----------------------------------------------------------------------------

bool CBFMFile::WriteThrough(const std::uint8_t* data, std::uint32_t count, std::uint32_t& written)
{
    written = 0;
    if (count == 0)
        return true;
    if (m_currentIndex >= m_numSubFiles)
        return false;
    const int fd = m_handles[std::size_t(m_currentIndex)];
    if (!hl::Os().WriteAt(fd, data, count, m_currentOffset))
        return false;
    written = count;
    if (m_currentIndex == m_numSubFiles - 1)
        m_lastSize = std::max<std::int64_t>(SizeOfLast(), std::int64_t(m_currentOffset) + count);
    if (m_writeBehind) {
        if (m_writebackIndex != m_currentIndex) {
            m_writebackIndex = m_currentIndex;
            m_writebackOffset = 0;
        }
        const std::uint32_t end = m_currentOffset + count;
        if (end > m_writebackOffset && end - m_writebackOffset >= kWriteBehindChunk) {
            // A hint: should it fail, Sync still writes everything.
            hl::Os().StartWriteback(fd, m_writebackOffset, end - m_writebackOffset);
            m_writebackOffset = end;
        }
    }
    return true;
}

// Pending bytes belong to the current sub-file and end at the current offset.
bool CBFMFile::FlushWriteBuffer()
{
    if (m_writeBuffered == 0)
        return !m_writeFailed;
    const std::uint32_t pending = std::uint32_t(m_writeBuffered);
    m_writeBuffered = 0;
    m_currentOffset -= pending;
    std::uint32_t written = 0;
    if (!WriteThrough(m_writeBuffer.data(), pending, written)) {
        // The position stays where the data really ends.
        m_writeFailed = true;
        return false;
    }
    m_currentOffset += written;
    return !m_writeFailed;
}

bool CBFMFile::Flush()
{
    return FlushWriteBuffer();
}

bool CBFMFile::Write(const void* buffer, std::uint32_t count, std::uint32_t& countWritten)
{
    // A record that fits both the buffer and the current sub-file (nearly every record of a
    // merge): a copy and nothing else.
    if (count > 0 && count < kBufferSize && m_writeBuffered + count <= m_writeBuffer.size() &&
        m_readFill == 0 && !m_readOnly && !m_writeFailed && m_currentIndex < m_numSubFiles &&
        count <= std::uint32_t(m_maxBytesPerSubFile) - m_currentOffset) {
        std::memcpy(m_writeBuffer.data() + m_writeBuffered, buffer, count);
        m_writeBuffered += count;
        m_currentOffset += count;
        countWritten = count;
        return true;
    }
    countWritten = 0;
    if (count == 0)
        return true;
    if (m_readOnly || m_writeFailed)
        return false;
    DropReadBuffer();
    const std::int64_t callStart = LogicalPosition();
    const std::uint8_t* data = static_cast<const std::uint8_t*>(buffer);
    std::uint32_t remaining = count;
    bool ok = true;

    while (remaining > 0) {
        if (m_currentIndex >= m_numSubFiles) {
            // Positioned just past an exactly full last sub-file (after a seek to the end).
            if (!FlushWriteBuffer() || !CreateSubFile()) {
                ok = false;
                break;
            }
            m_currentIndex = m_numSubFiles - 1;
            m_currentOffset = 0;
        }
        std::uint32_t chunk = remaining;
        const std::uint32_t room = std::uint32_t(m_maxBytesPerSubFile) - m_currentOffset;
        if (chunk > room)
            chunk = room;

        if (chunk > 0) {
            if (m_writeBuffered > 0 && m_writeBuffered + chunk > kBufferSize && !FlushWriteBuffer()) {
                ok = false;
                break;
            }
            if (m_writeBuffered == 0 && chunk >= kBufferSize) {
                std::uint32_t written = 0;
                if (!WriteThrough(data, chunk, written)) {
                    m_writeFailed = true;
                    ok = false;
                    break;
                }
            } else {
                if (m_writeBuffer.size() < kBufferSize)
                    m_writeBuffer.resize(kBufferSize);
                std::memcpy(m_writeBuffer.data() + m_writeBuffered, data, chunk);
                m_writeBuffered += chunk;
            }
            data += chunk;
            remaining -= chunk;
            m_currentOffset += chunk;
        }

        if (remaining > 0) {
            // The current sub-file is full: move on to the next one, creating it at the end.
            if (!FlushWriteBuffer()) {
                ok = false;
                break;
            }
            if (m_currentIndex + 1 >= m_numSubFiles && !CreateSubFile()) {
                ok = false;
                break;
            }
            ++m_currentIndex;
            m_currentOffset = 0;
        }
    }

    const std::int64_t done = LogicalPosition() - callStart;
    countWritten = done > 0 ? std::uint32_t(std::min<std::int64_t>(done, count)) : 0;
    return ok && countWritten == count;
}

bool CBFMFile::Sync()
{
    bool ok = FlushWriteBuffer();
    hl::Platform& os = hl::Os();
    for (int fd : m_handles)
        ok = os.Sync(fd) && ok;
    const int control = os.OpenFile(m_controlPath, hl::OpenMode::Read);
    if (control < 0) {
        ok = false;
    } else {
        ok = os.Sync(control) && ok;
        os.Close(control);
    }
    ok = os.SyncDirectory(DirectoryOf(m_controlPath)) && ok;
    if (!ok)
        CLog::Error(kLogCategory, "CBFMFile::Sync(): unable to make %s durable\n", m_controlPath.c_str());
    return ok;
}

// ---- reading ----------------------------------------------------------------------------

void CBFMFile::DropReadBuffer()
{
    m_readFill = 0;
}

bool CBFMFile::Read(void* buffer, std::uint32_t count, std::uint32_t& countRead)
{
    // Wholly inside the read window: a copy and nothing else.
    if (count > 0 && m_writeBuffered == 0 && m_readFill > 0 && m_currentIndex < m_numSubFiles &&
        count <= std::uint32_t(m_maxBytesPerSubFile) - m_currentOffset) {
        const std::int64_t pos = LogicalPosition();
        if (pos >= m_readStart && pos + count <= m_readStart + std::int64_t(m_readFill)) {
            std::memcpy(buffer, m_readBuffer.data() + (pos - m_readStart), count);
            m_currentOffset += count;
            countRead = count;
            return true;
        }
    }
    countRead = 0;
    FlushWriteBuffer(); // a failure shows in Flush and Write; what reached the disk reads back
    std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t remaining = count;
    hl::Platform& os = hl::Os();

    while (remaining > 0 && m_currentIndex < m_numSubFiles) {
        if (m_currentOffset >= std::uint32_t(m_maxBytesPerSubFile)) {
            ++m_currentIndex;
            m_currentOffset = 0;
            continue;
        }
        const std::int64_t pos = LogicalPosition();
        // Served from the buffered window when the position lies inside it.
        if (m_readFill > 0 && pos >= m_readStart && pos < m_readStart + std::int64_t(m_readFill)) {
            const std::size_t at = std::size_t(pos - m_readStart);
            std::uint32_t n = std::uint32_t(std::min<std::size_t>(remaining, m_readFill - at));
            n = std::min<std::uint32_t>(n, std::uint32_t(m_maxBytesPerSubFile) - m_currentOffset);
            std::memcpy(out, m_readBuffer.data() + at, n);
            out += n;
            remaining -= n;
            m_currentOffset += n;
            continue;
        }
        const int fd = m_handles[std::size_t(m_currentIndex)];
        const std::uint32_t room = std::uint32_t(m_maxBytesPerSubFile) - m_currentOffset;
        const std::int64_t gap = pos - m_nextSequential;
        const bool sequential = gap >= 0 && gap < std::int64_t(kJumpReadAhead);
        m_readAhead = sequential ? std::min(kBufferSize, std::max(m_readAhead, kJumpReadAhead) * 2) : 0;
        if (remaining >= m_readAhead) {
            const std::int64_t got = os.ReadAt(fd, out, std::min(remaining, room), m_currentOffset);
            if (got < 0)
                break;
            if (got == 0) {
                // This sub-file ends here: the rest of the stream is in the next one.
                ++m_currentIndex;
                m_currentOffset = 0;
                continue;
            }
            out += got;
            remaining -= std::uint32_t(got);
            m_currentOffset += std::uint32_t(got);
            m_nextSequential = pos + got;
            continue;
        }
        if (m_readBuffer.size() < kBufferSize)
            m_readBuffer.resize(kBufferSize);
        const std::int64_t got =
            os.ReadAt(fd, m_readBuffer.data(), std::min<std::size_t>(m_readAhead, room), m_currentOffset);
        if (got < 0) {
            m_readFill = 0;
            break;
        }
        if (got == 0) {
            m_readFill = 0;
            ++m_currentIndex;
            m_currentOffset = 0;
            continue;
        }
        m_readStart = pos;
        m_readFill = std::size_t(got);
        m_nextSequential = pos + got;
    }

    countRead = count - remaining;
    return remaining == 0;
}

// ---- class operations -------------------------------------------------------------------

bool CBFMFile::Probe(const std::string& path, bool& exists)
{
    hl::Platform& os = hl::Os();
    if (os.PathExists(path)) {
        exists = true;
        return true;
    }
    const int error = hl::Platform::LastError();
    exists = false;
    return error == hl::kErrFileNotFound || error == hl::kErrPathNotFound;
}

bool CBFMFile::DeleteSubFiles(const Names& names)
{
    hl::Platform& os = hl::Os();
    bool ok = true;
    for (int i = 0; i < kMaxSubFiles; ++i) {
        const std::string name = SubFileName(names, i);
        bool exists = false;
        if (!Probe(name, exists)) {
            ok = false;
            break;
        }
        if (!exists)
            break;
        if (!os.DeleteFile(name)) {
            CLog::Error(kLogCategory, "CBFMFile::DeleteSubFiles(): DeleteFile() failed for %s\n",
                        name.c_str());
            ok = false;
        }
    }
    return ok;
}

bool CBFMFile::Delete(const std::string& path)
{
    const Names names = Split(path);
    bool ok = DeleteSubFiles(names);
    const std::string control = ControlName(names);
    hl::Platform& os = hl::Os();
    bool exists = true;
    if (!Probe(control, exists))
        ok = false;
    if (exists && !os.DeleteFile(control)) {
        CLog::Error(kLogCategory, "CBFMFile::Delete(): DeleteFile() failed for %s\n", control.c_str());
        ok = false;
    }
    // Left by a parameter-file save that was stopped before its rename.
    const std::string partial = control + ".tmp";
    if (os.PathExists(partial) && !os.DeleteFile(partial))
        ok = false;
    return ok;
}

bool CBFMFile::RenameSubFiles(const Names& oldNames, const Names& newNames)
{
    hl::Platform& os = hl::Os();
    bool ok = true;
    for (int i = 0; i < kMaxSubFiles; ++i) {
        const std::string from = SubFileName(oldNames, i);
        bool exists = false;
        if (!Probe(from, exists)) {
            ok = false;
            break;
        }
        if (!exists)
            break;
        const std::string to = SubFileName(newNames, i);
        if (!os.MoveFile(from, to)) {
            CLog::Error(kLogCategory, "CBFMFile::RenameSubFiles(): MoveFileEx() failed -- Old: %s New: %s\n",
                        from.c_str(), to.c_str());
            ok = false;
        }
    }
    return ok;
}

bool CBFMFile::Rename(const std::string& oldPath, const std::string& newPath)
{
    const Names oldNames = Split(oldPath);
    const Names newNames = Split(newPath);
    bool ok = RenameSubFiles(oldNames, newNames);
    const std::string from = ControlName(oldNames);
    const std::string to = ControlName(newNames);
    hl::Platform& os = hl::Os();
    bool exists = true;
    if (!Probe(from, exists))
        ok = false;
    if (exists && !os.MoveFile(from, to)) {
        CLog::Error(kLogCategory, "CBFMFile::Rename(): MoveFileEx() failed -- Old: %s New: %s\n",
                    from.c_str(), to.c_str());
        ok = false;
    }
    return ok;
}

bool CBFMFile::CopySubFiles(const Names& src, const Names& dst, bool reportProgress, int& errorCode)
{
    hl::Platform& os = hl::Os();
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < kMaxSubFiles; ++i) {
        std::string from = SubFileName(src, i);
        if (!os.PathExists(from))
            break;
        pairs.emplace_back(std::move(from), SubFileName(dst, i));
    }

    hl::CopyProgress progress;
    if (reportProgress) {
        progress = [](std::uint64_t copied, std::uint64_t total) {
            std::uint64_t percent = total == 0 ? 100 : copied * 100 / total;
            if (percent > 100)
                percent = 100;
            GUIComm* gui = GUIComm::Instance();
            if (gui == nullptr)
                return true;
            gui->NotifyProgress(int(percent));
            return !gui->IsCancelRequested();
        };
    }

    bool ok = true;
    for (const auto& [from, to] : pairs) {
        if (!os.CopyFile(from, to, false, progress)) {
            errorCode = hl::Platform::LastError();
            CLog::Error(kLogCategory, "CBFMFile::CopySubFiles(): CopyFileEx() failed -- Old: %s New: %s\n",
                        from.c_str(), to.c_str());
            ok = false;
        }
    }
    return ok;
}

bool CBFMFile::Copy(const std::string& srcPath, const std::string& dstPath, bool reportProgress,
                    int* errorCode)
{
    const Names src = Split(srcPath);
    const Names dst = Split(dstPath);
    int error = 0;
    bool ok = CopySubFiles(src, dst, reportProgress, error);
    const std::string from = ControlName(src);
    const std::string to = ControlName(dst);
    hl::Platform& os = hl::Os();
    if (os.PathExists(from) && !os.CopyFile(from, to, true, hl::CopyProgress())) {
        error = hl::Platform::LastError();
        CLog::Error(kLogCategory, "CBFMFile::Copy(): CopyFile() failed -- Old: %s New: %s\n", from.c_str(),
                    to.c_str());
        ok = false;
    }
    if (errorCode != nullptr)
        *errorCode = ok ? 0 : error;
    if (!ok)
        hl::Platform::SetLastError(error);
    return ok;
}
