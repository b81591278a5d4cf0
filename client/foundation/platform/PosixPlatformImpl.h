// The POSIX implementation of Platform, declared for the units that define it:
// PosixPlatform.cpp (files by descriptor, waitable objects, threads, clocks, folders),
// PosixFiles.cpp (directories, files by path) and PosixNetwork.cpp
// (TCP and the network configuration). Private to this library.
#pragma once

#include <errno.h>

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "Platform.h"

namespace hl {

// Sets the last error from errno and returns `result`.
template <typename T>
T Fail(T result, const std::string& path = std::string())
{
    Platform::SetLastError(Platform::MapErrno(errno, path));
    return result;
}

class PosixPlatformImpl final : public Platform {
public:
    // ---- directories --------------------------------------------------------
    bool PathExists(const std::string& path) override;
    bool DirectoryExists(const std::string& path) override;
    bool QuerySymbolicLink(const std::string& path, bool& isLink) override;
    bool CreateDirectory(const std::string& path) override;
    bool RemoveDirectory(const std::string& path) override;
    bool ListDirectory(const std::string& path, std::vector<std::string>& names) override;

    // ---- files by descriptor ------------------------------------------------
    int OpenFile(const std::string& path, OpenMode mode) override;
    std::int64_t Read(int fd, void* buffer, std::size_t count) override;
    bool Write(int fd, const void* buffer, std::size_t count) override;
    std::int64_t ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) override;
    bool WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset) override;
    std::int64_t Seek(int fd, std::int64_t offset, SeekFrom from) override;
    std::int64_t FileSizeOf(int fd) override;
    bool Truncate(int fd, std::uint64_t size) override;
    bool Sync(int fd) override;
    bool StartWriteback(int fd, std::uint64_t offset, std::uint64_t count) override;
    bool Close(int fd) override;

    // ---- files by path ------------------------------------------------------
    bool FileExists(const std::string& path) override;
    std::int64_t FileSize(const std::string& path) override;
    bool DeleteFile(const std::string& path) override;
    bool MoveFile(const std::string& from, const std::string& to) override;
    bool SyncDirectory(const std::string& path) override;
    bool CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                  const CopyProgress& progress) override;
    bool SetReadOnly(const std::string& path, bool readOnly) override;
    bool FreeSpace(const std::string& path, std::uint64_t& bytes) override;
    std::string TempFileName(const std::string& dir, const std::string& prefix) override;
    std::string MakeTempDirectory(const std::string& dir, const std::string& prefix) override;

    // ---- TCP ----------------------------------------------------------------
    bool SocketStackVersion(int& major, int& minor) override;
    int ListenOn(const std::string& ipv4, std::uint16_t port, int backlog) override;
    int LocalPort(int socket) override;
    int Accept(int listenSocket, std::string* peer) override;
    int ConnectFrom(const std::string& source, const std::string& ipv4, std::uint16_t port) override;
    std::int64_t Recv(int socket, void* buffer, std::size_t count) override;
    bool SendAll(int socket, const void* buffer, std::size_t count) override;
    bool SetSendTimeout(int socket, std::uint32_t timeoutMs) override;
    bool SetKeepAlive(int socket, std::uint32_t idleMs, std::uint32_t intervalMs, int probes) override;
    int WaitReadable(int fd, std::uint32_t timeoutMs) override;

    // ---- network configuration ----------------------------------------------
    std::vector<std::string> IPv4Addresses() override;
    int OpenAddressChangeSource() override;
    void DrainAddressChangeSource(int fd) override;

    // ---- waitable objects ---------------------------------------------------
    int CreateEvent(bool manualReset, bool initiallySet) override;
    bool SetEvent(int event) override;
    bool ResetEvent(int event) override;
    int CreateSemaphore(std::uint32_t initialCount) override;
    bool ReleaseSemaphore(int semaphore, std::uint32_t count) override;
    WaitResult WaitForObjects(const int* handles, std::size_t count, bool waitAll, std::uint32_t timeoutMs,
                              std::size_t& index) override;

    // ---- process, threads, clocks ------------------------------------------
    std::string ComputerName() override;
    std::uint64_t ThreadId() override;
    void SetThreadName(const std::string& name) override;
    std::uint64_t MonotonicMs() override;
    void Sleep(std::uint32_t ms) override;
    std::int64_t WallClockMs() override;
    bool ToLocalTime(std::int64_t utcSeconds, std::tm& local) override;
    bool ToUtcTime(std::int64_t utcSeconds, std::tm& utc) override;
    bool FromLocalTime(std::tm& local, std::int64_t& utcSeconds) override;
    void SetTimeZone(const std::string& tz) override;

    // ---- user folders -------------------------------------------------------
    std::string HomeDirectory() override;
    std::string DataFolder() override;
    std::string ExecutablePath() override;

private:
    int PollTimeout(std::uint32_t timeoutMs, std::uint64_t deadline);
    std::mutex envMutex_;
};

} // namespace hl
