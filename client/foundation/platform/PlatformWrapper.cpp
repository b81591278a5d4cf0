#include "PlatformWrapper.h"

namespace hl {

// Each counted call asks Intercept first; a refused call fails with the error
// number the wrapper chose, as the real call would.
#define HL_GUARD(op, failValue)                                                                              \
    do {                                                                                                     \
        if (int e_ = Intercept(op)) {                                                                        \
            Platform::SetLastError(e_);                                                                      \
            return failValue;                                                                                \
        }                                                                                                    \
    } while (0)

std::string PlatformWrapper::ErrorText(int code)
{
    return inner_.ErrorText(code);
}

bool PlatformWrapper::PathExists(const std::string& path)
{
    HL_GUARD(kOpQuery, false);
    return inner_.PathExists(path);
}
bool PlatformWrapper::DirectoryExists(const std::string& path)
{
    HL_GUARD(kOpQuery, false);
    return inner_.DirectoryExists(path);
}
bool PlatformWrapper::QuerySymbolicLink(const std::string& path, bool& isLink)
{
    HL_GUARD(kOpQuery, false);
    return inner_.QuerySymbolicLink(path, isLink);
}
bool PlatformWrapper::CreateDirectory(const std::string& path)
{
    HL_GUARD(kOpMkdir, false);
    return inner_.CreateDirectory(path);
}
bool PlatformWrapper::RemoveDirectory(const std::string& path)
{
    HL_GUARD(kOpRmdir, false);
    return inner_.RemoveDirectory(path);
}
bool PlatformWrapper::ListDirectory(const std::string& path, std::vector<std::string>& names)
{
    names.clear();
    HL_GUARD(kOpEnumerate, false);
    return inner_.ListDirectory(path, names);
}

int PlatformWrapper::OpenFile(const std::string& path, OpenMode mode)
{
    HL_GUARD(kOpOpen, -1);
    return inner_.OpenFile(path, mode);
}
std::int64_t PlatformWrapper::Read(int fd, void* buffer, std::size_t count)
{
    HL_GUARD(kOpRead, -1);
    return inner_.Read(fd, buffer, count);
}
bool PlatformWrapper::Write(int fd, const void* buffer, std::size_t count)
{
    HL_GUARD(kOpWrite, false);
    return inner_.Write(fd, buffer, count);
}
std::int64_t PlatformWrapper::ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset)
{
    HL_GUARD(kOpRead, -1);
    return inner_.ReadAt(fd, buffer, count, offset);
}
bool PlatformWrapper::WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset)
{
    HL_GUARD(kOpWrite, false);
    return inner_.WriteAt(fd, buffer, count, offset);
}
std::int64_t PlatformWrapper::Seek(int fd, std::int64_t offset, SeekFrom from)
{
    HL_GUARD(kOpSeek, -1);
    return inner_.Seek(fd, offset, from);
}
std::int64_t PlatformWrapper::FileSizeOf(int fd)
{
    HL_GUARD(kOpQuery, -1);
    return inner_.FileSizeOf(fd);
}
bool PlatformWrapper::Truncate(int fd, std::uint64_t size)
{
    HL_GUARD(kOpTruncate, false);
    return inner_.Truncate(fd, size);
}
bool PlatformWrapper::Sync(int fd)
{
    HL_GUARD(kOpSync, false);
    return inner_.Sync(fd);
}
bool PlatformWrapper::StartWriteback(int fd, std::uint64_t offset, std::uint64_t count)
{
    HL_GUARD(kOpWriteback, false);
    return inner_.StartWriteback(fd, offset, count);
}
bool PlatformWrapper::Close(int fd)
{
    if (int e = Intercept(kOpClose)) {
        // A failed close still releases the descriptor, as close(2) does.
        inner_.Close(fd);
        Platform::SetLastError(e);
        return false;
    }
    return inner_.Close(fd);
}

bool PlatformWrapper::FileExists(const std::string& path)
{
    HL_GUARD(kOpQuery, false);
    return inner_.FileExists(path);
}
std::int64_t PlatformWrapper::FileSize(const std::string& path)
{
    HL_GUARD(kOpQuery, -1);
    return inner_.FileSize(path);
}
bool PlatformWrapper::DeleteFile(const std::string& path)
{
    HL_GUARD(kOpUnlink, false);
    return inner_.DeleteFile(path);
}
bool PlatformWrapper::MoveFile(const std::string& from, const std::string& to)
{
    HL_GUARD(kOpRename, false);
    return inner_.MoveFile(from, to);
}
bool PlatformWrapper::SyncDirectory(const std::string& path)
{
    HL_GUARD(kOpSync, false);
    return inner_.SyncDirectory(path);
}
bool PlatformWrapper::CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                               const CopyProgress& progress)
{
    HL_GUARD(kOpCopy, false);
    return inner_.CopyFile(from, to, failIfExists, progress);
}
bool PlatformWrapper::SetReadOnly(const std::string& path, bool readOnly)
{
    HL_GUARD(kOpAttributes, false);
    return inner_.SetReadOnly(path, readOnly);
}
bool PlatformWrapper::FreeSpace(const std::string& path, std::uint64_t& bytes)
{
    HL_GUARD(kOpFreeSpace, false);
    return inner_.FreeSpace(path, bytes);
}
std::string PlatformWrapper::TempFileName(const std::string& dir, const std::string& prefix)
{
    HL_GUARD(kOpTempName, std::string());
    return inner_.TempFileName(dir, prefix);
}
std::string PlatformWrapper::MakeTempDirectory(const std::string& dir, const std::string& prefix)
{
    HL_GUARD(kOpTempName, std::string());
    return inner_.MakeTempDirectory(dir, prefix);
}

bool PlatformWrapper::SocketStackVersion(int& major, int& minor)
{
    return inner_.SocketStackVersion(major, minor);
}
int PlatformWrapper::ListenOn(const std::string& ipv4, std::uint16_t port, int backlog)
{
    HL_GUARD(kOpSocket, -1);
    return inner_.ListenOn(ipv4, port, backlog);
}
int PlatformWrapper::LocalPort(int socket)
{
    HL_GUARD(kOpSocket, -1);
    return inner_.LocalPort(socket);
}
int PlatformWrapper::Accept(int listenSocket, std::string* peer)
{
    HL_GUARD(kOpSocket, -1);
    return inner_.Accept(listenSocket, peer);
}
int PlatformWrapper::ConnectFrom(const std::string& source, const std::string& ipv4, std::uint16_t port)
{
    HL_GUARD(kOpSocket, -1);
    return inner_.ConnectFrom(source, ipv4, port);
}
std::int64_t PlatformWrapper::Recv(int socket, void* buffer, std::size_t count)
{
    HL_GUARD(kOpSocket, -1);
    return inner_.Recv(socket, buffer, count);
}
bool PlatformWrapper::SendAll(int socket, const void* buffer, std::size_t count)
{
    HL_GUARD(kOpSocket, false);
    return inner_.SendAll(socket, buffer, count);
}
bool PlatformWrapper::SetSendTimeout(int socket, std::uint32_t timeoutMs)
{
    HL_GUARD(kOpSocket, false);
    return inner_.SetSendTimeout(socket, timeoutMs);
}
bool PlatformWrapper::SetKeepAlive(int socket, std::uint32_t idleMs, std::uint32_t intervalMs, int probes)
{
    HL_GUARD(kOpSocket, false);
    return inner_.SetKeepAlive(socket, idleMs, intervalMs, probes);
}
int PlatformWrapper::WaitReadable(int fd, std::uint32_t timeoutMs)
{
    HL_GUARD(kOpSocket, -1);
    return inner_.WaitReadable(fd, timeoutMs);
}

std::vector<std::string> PlatformWrapper::IPv4Addresses()
{
    HL_GUARD(kOpNetwork, std::vector<std::string>());
    return inner_.IPv4Addresses();
}
int PlatformWrapper::OpenAddressChangeSource()
{
    HL_GUARD(kOpNetwork, -1);
    return inner_.OpenAddressChangeSource();
}
void PlatformWrapper::DrainAddressChangeSource(int fd)
{
    inner_.DrainAddressChangeSource(fd);
}

int PlatformWrapper::CreateEvent(bool manualReset, bool initiallySet)
{
    HL_GUARD(kOpWaitable, -1);
    return inner_.CreateEvent(manualReset, initiallySet);
}
bool PlatformWrapper::SetEvent(int event)
{
    HL_GUARD(kOpWaitable, false);
    return inner_.SetEvent(event);
}
bool PlatformWrapper::ResetEvent(int event)
{
    HL_GUARD(kOpWaitable, false);
    return inner_.ResetEvent(event);
}
int PlatformWrapper::CreateSemaphore(std::uint32_t initialCount)
{
    HL_GUARD(kOpWaitable, -1);
    return inner_.CreateSemaphore(initialCount);
}
bool PlatformWrapper::ReleaseSemaphore(int semaphore, std::uint32_t count)
{
    HL_GUARD(kOpWaitable, false);
    return inner_.ReleaseSemaphore(semaphore, count);
}
WaitResult PlatformWrapper::WaitForObjects(const int* handles, std::size_t count, bool waitAll,
                                           std::uint32_t timeoutMs, std::size_t& index)
{
    index = 0;
    HL_GUARD(kOpWaitable, WaitResult::Failed);
    return inner_.WaitForObjects(handles, count, waitAll, timeoutMs, index);
}

std::string PlatformWrapper::ComputerName()
{
    return inner_.ComputerName();
}
std::uint64_t PlatformWrapper::ThreadId()
{
    return inner_.ThreadId();
}
void PlatformWrapper::SetThreadName(const std::string& name)
{
    inner_.SetThreadName(name);
}
std::uint64_t PlatformWrapper::MonotonicMs()
{
    return inner_.MonotonicMs();
}
void PlatformWrapper::Sleep(std::uint32_t ms)
{
    inner_.Sleep(ms);
}
std::int64_t PlatformWrapper::WallClockMs()
{
    return inner_.WallClockMs();
}
bool PlatformWrapper::ToLocalTime(std::int64_t utcSeconds, std::tm& local)
{
    return inner_.ToLocalTime(utcSeconds, local);
}
bool PlatformWrapper::ToUtcTime(std::int64_t utcSeconds, std::tm& utc)
{
    return inner_.ToUtcTime(utcSeconds, utc);
}
bool PlatformWrapper::FromLocalTime(std::tm& local, std::int64_t& utcSeconds)
{
    return inner_.FromLocalTime(local, utcSeconds);
}
void PlatformWrapper::SetTimeZone(const std::string& tz)
{
    inner_.SetTimeZone(tz);
}

std::string PlatformWrapper::HomeDirectory()
{
    return inner_.HomeDirectory();
}
std::string PlatformWrapper::DataFolder()
{
    return inner_.DataFolder();
}
std::string PlatformWrapper::ExecutablePath()
{
    return inner_.ExecutablePath();
}

#undef HL_GUARD

} // namespace hl
