// A platform that forwards every call to another one. Wrappers used by tests
// (fault injection, later power-loss simulation) derive from it and override
// Intercept() or individual calls.
#pragma once

#include "Platform.h"

#include <cstdint>

namespace hl {

// Classes of operations a wrapper can single out (bit mask).
enum PlatformOp : std::uint32_t {
    kOpQuery = 1u << 0, // exists, sizes
    kOpMkdir = 1u << 1,
    kOpRmdir = 1u << 2,
    kOpEnumerate = 1u << 3,
    kOpOpen = 1u << 4,
    kOpRead = 1u << 5,
    kOpWrite = 1u << 6,
    kOpSeek = 1u << 7,
    kOpTruncate = 1u << 8,
    kOpSync = 1u << 9, // fsync of files and directories
    kOpClose = 1u << 10,
    kOpUnlink = 1u << 11,
    kOpRename = 1u << 12,
    kOpCopy = 1u << 13,
    kOpAttributes = 1u << 14,
    kOpFreeSpace = 1u << 15,
    kOpTempName = 1u << 16,
    kOpSocket = 1u << 17,    // listen, accept, connect, recv, send, wait-readable
    kOpNetwork = 1u << 18,   // address list, address-change source
    kOpWaitable = 1u << 19,  // events, semaphores, waits
    kOpWriteback = 1u << 20, // early write-back hints (no durability)
    // Everything that changes the file system.
    kOpFileMutations = kOpMkdir | kOpRmdir | kOpOpen | kOpWrite | kOpTruncate | kOpSync | kOpUnlink |
                       kOpRename | kOpCopy | kOpAttributes | kOpTempName,
    // Everything touching files and directories.
    kOpFileAll = kOpFileMutations | kOpQuery | kOpEnumerate | kOpRead | kOpSeek | kOpClose | kOpFreeSpace |
                 kOpWriteback,
    kOpAll = 0xFFFFFFFFu,
};

class PlatformWrapper : public Platform {
public:
    explicit PlatformWrapper(Platform& inner) : inner_(inner) {}
    Platform& Inner() { return inner_; }

    std::string ErrorText(int code) override;

    bool PathExists(const std::string& path) override;
    bool DirectoryExists(const std::string& path) override;
    bool QuerySymbolicLink(const std::string& path, bool& isLink) override;
    bool CreateDirectory(const std::string& path) override;
    bool RemoveDirectory(const std::string& path) override;
    bool ListDirectory(const std::string& path, std::vector<std::string>& names) override;

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

    std::vector<std::string> IPv4Addresses() override;
    int OpenAddressChangeSource() override;
    void DrainAddressChangeSource(int fd) override;

    int CreateEvent(bool manualReset, bool initiallySet) override;
    bool SetEvent(int event) override;
    bool ResetEvent(int event) override;
    int CreateSemaphore(std::uint32_t initialCount) override;
    bool ReleaseSemaphore(int semaphore, std::uint32_t count) override;
    WaitResult WaitForObjects(const int* handles, std::size_t count, bool waitAll, std::uint32_t timeoutMs,
                              std::size_t& index) override;

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

    std::string HomeDirectory() override;
    std::string DataFolder() override;
    std::string ExecutablePath() override;

protected:
    // Called before every counted operation. Returns 0 to let it through, or an
    // error number: the call then fails with that number without reaching the
    // inner platform (a Close still releases the descriptor).
    virtual int Intercept(PlatformOp op)
    {
        (void)op;
        return 0;
    }

private:
    Platform& inner_;
};

} // namespace hl
