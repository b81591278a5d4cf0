// What Harborlock needs from an operating system.
//
// Every call the program makes into the kernel goes through this interface, so a
// second platform adds one implementation and tests can put a wrapper (see
// PlatformWrapper.h, FaultPlatform.h) in front of the real one.
//
// Conventions:
// - Failing calls return false, -1 or an empty string and set the calling
//   thread's last error (LastError()), mapped to the numbers the program tests:
//   disk full 112, directory not empty 145, file not found 2, path not found 3,
//   access denied 5; any other errno value is passed through unchanged.
// - Descriptors are plain ints (-1 = invalid), opened with O_CLOEXEC.
// - Paths use "/".
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace hl {

// Error numbers kept at the layer's surface.
enum : int {
    kErrNone = 0,
    kErrFileNotFound = 2,
    kErrPathNotFound = 3,
    kErrAccessDenied = 5,
    kErrDiskFull = 112,
    kErrDirNotEmpty = 145,
    kErrAlreadyExists = 183,
    kErrCancelled = 1235,
    kErrTimeout = 1460,
};

enum class OpenMode {
    Read,            // existing file, read only
    ReadWrite,       // existing file, read and write
    Create,          // read/write, created if missing, contents kept
    CreateExclusive, // read/write, fails with kErrAlreadyExists if present
    Truncate,        // read/write, created if missing, emptied
    Append,          // write only, created if missing, every write at the end
};

enum class SeekFrom { Begin, Current, End };

enum class WaitResult {
    Signalled, // `index` names the (first) object that fired
    Timeout,
    Failed,
};

// Progress of a copy: bytes copied so far and the total. Return false to cancel.
using CopyProgress = std::function<bool(std::uint64_t copied, std::uint64_t total)>;

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

class Platform {
public:
    virtual ~Platform() = default;

    // ---- errors -------------------------------------------------------------
    // Last error of the calling thread (mapped number, see above).
    static int LastError();
    static void SetLastError(int code);
    // Maps an errno value to the number the program tests; `path` lets ENOENT
    // tell "file not found" (parent exists) from "path not found".
    static int MapErrno(int err, const std::string& path = std::string());
    // Text for a mapped number, from strerror_r.
    virtual std::string ErrorText(int code);

    // ---- directories --------------------------------------------------------
    virtual bool PathExists(const std::string& path) = 0; // anything at path
    virtual bool DirectoryExists(const std::string& path) = 0;
    // Whether `path` itself is a symbolic link (the link is not followed). False
    // when that cannot be told, `isLink` then unchanged.
    virtual bool QuerySymbolicLink(const std::string& path, bool& isLink) = 0;
    virtual bool CreateDirectory(const std::string& path) = 0; // one level
    // Fails with kErrDirNotEmpty when the directory holds anything.
    virtual bool RemoveDirectory(const std::string& path) = 0;
    // Names of the entries, "." and ".." skipped, in the order the system gives.
    virtual bool ListDirectory(const std::string& path, std::vector<std::string>& names) = 0;

    // ---- files by descriptor ------------------------------------------------
    virtual int OpenFile(const std::string& path, OpenMode mode) = 0; // -1 on failure
    // Reads up to `count` bytes (fewer only at end of file); -1 on failure.
    virtual std::int64_t Read(int fd, void* buffer, std::size_t count) = 0;
    // Writes all `count` bytes (short writes are continued); false on failure.
    virtual bool Write(int fd, const void* buffer, std::size_t count) = 0;
    virtual std::int64_t ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) = 0;
    virtual bool WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset) = 0;
    virtual std::int64_t Seek(int fd, std::int64_t offset, SeekFrom from) = 0; // new position or -1
    virtual std::int64_t FileSizeOf(int fd) = 0;                               // -1 on failure
    virtual bool Truncate(int fd, std::uint64_t size) = 0;
    virtual bool Sync(int fd) = 0; // fsync
    // Starts writing a range of a file to the disk and returns without waiting. Only a hint
    // that shortens a later Sync; nothing is durable before that Sync.
    virtual bool StartWriteback(int fd, std::uint64_t offset, std::uint64_t count) = 0;
    virtual bool Close(int fd) = 0; // any descriptor of this layer (file, socket, event)

    // ---- files by path ------------------------------------------------------
    virtual bool FileExists(const std::string& path) = 0;       // a regular file
    virtual std::int64_t FileSize(const std::string& path) = 0; // -1 on failure
    virtual bool DeleteFile(const std::string& path) = 0;
    // Rename replacing the target; across file systems copy, fsync, then unlink.
    virtual bool MoveFile(const std::string& from, const std::string& to) = 0;
    virtual bool SyncDirectory(const std::string& path) = 0;
    // Copies in chunks, calling `progress` after each (may be empty). Stops with
    // kErrCancelled (and removes the partial target) when progress says so.
    // With failIfExists an existing target fails with kErrAlreadyExists.
    // The target is fsynced before the call returns true.
    virtual bool CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                          const CopyProgress& progress) = 0;
    // Read-only attribute (write permission bits).
    virtual bool SetReadOnly(const std::string& path, bool readOnly) = 0;
    // Bytes available to the caller on the file system holding `path`.
    virtual bool FreeSpace(const std::string& path, std::uint64_t& bytes) = 0;
    // Creates an empty unique file "<dir>/<prefix>XXXXXX"; returns its path or "".
    virtual std::string TempFileName(const std::string& dir, const std::string& prefix) = 0;
    // Creates a unique directory "<dir>/<prefix>XXXXXX"; returns its path or "".
    virtual std::string MakeTempDirectory(const std::string& dir, const std::string& prefix) = 0;

    // ---- TCP ----------------------------------------------------------------
    // Version of the socket stack; 2.2 on this platform.
    virtual bool SocketStackVersion(int& major, int& minor) = 0;
    // Listening socket on one local IPv4 address, or on all of them when `ipv4` is empty
    // (port 0 picks a free one); -1 on failure.
    virtual int ListenOn(const std::string& ipv4, std::uint16_t port, int backlog) = 0;
    int Listen(std::uint16_t port, int backlog) { return ListenOn(std::string(), port, backlog); }
    virtual int LocalPort(int socket) = 0; // bound port or -1
    // Accepts one connection; -1 on failure. `peer` gets the dotted address.
    virtual int Accept(int listenSocket, std::string* peer) = 0;
    // Client side, used by tools and tests: connects to an IPv4 address, from the local
    // address `source` when it is not empty (a test speaking as another host on loopback).
    virtual int ConnectFrom(const std::string& source, const std::string& ipv4, std::uint16_t port) = 0;
    int Connect(const std::string& ipv4, std::uint16_t port)
    {
        return ConnectFrom(std::string(), ipv4, port);
    }
    // Up to `count` bytes; 0 when the peer closed; -1 on failure.
    virtual std::int64_t Recv(int socket, void* buffer, std::size_t count) = 0;
    // All bytes or false; never raises SIGPIPE. On a socket with a send time-out, a send
    // that makes no progress for that long fails with kErrTimeout.
    virtual bool SendAll(int socket, const void* buffer, std::size_t count) = 0;
    // Send time-out of a connected socket (0: none, sends wait for ever).
    virtual bool SetSendTimeout(int socket, std::uint32_t timeoutMs) = 0;
    // TCP keep-alive: after `idleMs` without traffic the system probes the peer every
    // `intervalMs` and ends the connection when `probes` probes go unanswered, so that a
    // peer that vanished (power cut, cable) makes reads and sends fail instead of waiting.
    virtual bool SetKeepAlive(int socket, std::uint32_t idleMs, std::uint32_t intervalMs, int probes) = 0;
    // 1 readable (or closed/error pending), 0 time-out, -1 failure.
    virtual int WaitReadable(int fd, std::uint32_t timeoutMs) = 0;

    // ---- network configuration ----------------------------------------------
    // Dotted IPv4 addresses of up, non-loopback interfaces in interface order.
    virtual std::vector<std::string> IPv4Addresses() = 0;
    // Descriptor that turns readable when an IPv4 address changes; -1 on failure.
    virtual int OpenAddressChangeSource() = 0;
    // Reads what is pending on that descriptor so it stops being readable.
    virtual void DrainAddressChangeSource(int fd) = 0;

    // ---- waitable objects ---------------------------------------------------
    // Events and semaphores are descriptors that can be waited on together with
    // any other readable descriptor (a socket, the address-change source).
    virtual int CreateEvent(bool manualReset, bool initiallySet) = 0;
    virtual bool SetEvent(int event) = 0;
    virtual bool ResetEvent(int event) = 0;
    virtual int CreateSemaphore(std::uint32_t initialCount) = 0;
    virtual bool ReleaseSemaphore(int semaphore, std::uint32_t count) = 0;
    // Waits until one object (or all with waitAll) is signalled. A signalled
    // auto-reset event is reset and a semaphore decremented by the wait that
    // takes it; other descriptors are only tested for readability.
    virtual WaitResult WaitForObjects(const int* handles, std::size_t count, bool waitAll,
                                      std::uint32_t timeoutMs, std::size_t& index) = 0;

    // ---- process, threads, clocks ------------------------------------------
    virtual std::string ComputerName() = 0;                  // host name cut to 15 characters
    virtual std::uint64_t ThreadId() = 0;                    // kernel thread id
    virtual void SetThreadName(const std::string& name) = 0; // cut to 15 characters
    virtual std::uint64_t MonotonicMs() = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
    // Wall clock in milliseconds since 1970 UTC.
    virtual std::int64_t WallClockMs() = 0;
    std::uint32_t WallClockSeconds() { return static_cast<std::uint32_t>(WallClockMs() / 1000); }
    // Calendar conversions through the system's tz database (TZ honoured).
    virtual bool ToLocalTime(std::int64_t utcSeconds, std::tm& local) = 0;
    virtual bool ToUtcTime(std::int64_t utcSeconds, std::tm& utc) = 0;
    // Local calendar time to UTC seconds (mktime; tm_isdst -1 lets the zone decide).
    virtual bool FromLocalTime(std::tm& local, std::int64_t& utcSeconds) = 0;
    // Sets TZ (empty string removes it) and reloads the zone. For tests and tools.
    virtual void SetTimeZone(const std::string& tz) = 0;

    // ---- user folders -------------------------------------------------------
    virtual std::string HomeDirectory() = 0; // $HOME
    // $XDG_DATA_HOME, else $HOME/.local/share.
    virtual std::string DataFolder() = 0;
    virtual std::string ExecutablePath() = 0; // this program's file
};

// The real implementation (POSIX), created on first use.
Platform& PosixPlatform();

// The platform in use: the installed wrapper, or the POSIX implementation.
Platform& Os();

// Installs `platform` (null restores the POSIX one) and returns the previous
// one. Tests install a wrapper for the span of a test, see ScopedPlatform.
Platform* InstallPlatform(Platform* platform);

// Installs a platform for its lifetime and restores the previous one.
class ScopedPlatform {
public:
    explicit ScopedPlatform(Platform& platform) : previous_(InstallPlatform(&platform)) {}
    ~ScopedPlatform() { InstallPlatform(previous_); }
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    Platform* previous_;
};

// Joins two path parts with one "/".
std::string JoinPath(const std::string& a, const std::string& b);

} // namespace hl
