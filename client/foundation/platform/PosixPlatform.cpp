// The POSIX implementation of the platform layer.
#include "Platform.h"
#include "PosixPlatformImpl.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace hl {

namespace {

thread_local int t_lastError = 0;

std::string ParentOf(const std::string& path)
{
    auto pos = path.find_last_of('/');
    if (pos == std::string::npos)
        return ".";
    if (pos == 0)
        return "/";
    return path.substr(0, pos);
}

int OpenFlags(OpenMode mode)
{
    switch (mode) {
    case OpenMode::Read: return O_RDONLY;
    case OpenMode::ReadWrite: return O_RDWR;
    case OpenMode::Create: return O_RDWR | O_CREAT;
    case OpenMode::CreateExclusive: return O_RDWR | O_CREAT | O_EXCL;
    case OpenMode::Truncate: return O_RDWR | O_CREAT | O_TRUNC;
    case OpenMode::Append: return O_WRONLY | O_CREAT | O_APPEND;
    }
    return O_RDONLY;
}

// Kinds of waitable descriptors this layer created; anything else is waited
// on for readability only.
enum class Waitable { AutoEvent, ManualEvent, Semaphore };

class WaitableRegistry {
public:
    void Add(int fd, Waitable kind)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        kinds_[fd] = kind;
    }
    void Remove(int fd)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        kinds_.erase(fd);
    }
    bool Find(int fd, Waitable& kind)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = kinds_.find(fd);
        if (it == kinds_.end())
            return false;
        kind = it->second;
        return true;
    }

private:
    std::mutex mutex_;
    std::unordered_map<int, Waitable> kinds_;
};

WaitableRegistry& Registry()
{
    static WaitableRegistry* registry = new WaitableRegistry; // lives to the very end
    return *registry;
}

// Takes a signalled object: resets an auto-reset event, decrements a
// semaphore. False when another waiter took it first.
bool Take(int fd)
{
    Waitable kind;
    if (!Registry().Find(fd, kind) || kind == Waitable::ManualEvent)
        return true;
    std::uint64_t value = 0;
    return ::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

// Gives back what Take took (wait-for-all that could not take everything).
void Untake(int fd)
{
    Waitable kind;
    if (!Registry().Find(fd, kind) || kind == Waitable::ManualEvent)
        return;
    std::uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

std::atomic<Platform*> g_installed{nullptr};

} // namespace

// ---- files by descriptor ------------------------------------------------

int PosixPlatformImpl::OpenFile(const std::string& path, OpenMode mode)
{
    int fd;
    do {
        fd = ::open(path.c_str(), OpenFlags(mode) | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == EEXIST) {
            SetLastError(kErrAlreadyExists);
            return -1;
        }
        return Fail(-1, path);
    }
    return fd;
}

std::int64_t PosixPlatformImpl::Read(int fd, void* buffer, std::size_t count)
{
    std::size_t done = 0;
    auto* p = static_cast<char*>(buffer);
    while (done < count) {
        ssize_t n = ::read(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail<std::int64_t>(-1);
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

bool PosixPlatformImpl::Write(int fd, const void* buffer, std::size_t count)
{
    std::size_t done = 0;
    auto* p = static_cast<const char*>(buffer);
    while (done < count) {
        ssize_t n = ::write(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(false);
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t PosixPlatformImpl::ReadAt(int fd, void* buffer, std::size_t count, std::uint64_t offset)
{
    std::size_t done = 0;
    auto* p = static_cast<char*>(buffer);
    while (done < count) {
        ssize_t n = ::pread(fd, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail<std::int64_t>(-1);
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

bool PosixPlatformImpl::WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset)
{
    std::size_t done = 0;
    auto* p = static_cast<const char*>(buffer);
    while (done < count) {
        ssize_t n = ::pwrite(fd, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(false);
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t PosixPlatformImpl::Seek(int fd, std::int64_t offset, SeekFrom from)
{
    int whence = from == SeekFrom::Begin ? SEEK_SET : from == SeekFrom::Current ? SEEK_CUR : SEEK_END;
    off_t pos = ::lseek(fd, static_cast<off_t>(offset), whence);
    if (pos < 0)
        return Fail<std::int64_t>(-1);
    return pos;
}

std::int64_t PosixPlatformImpl::FileSizeOf(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return Fail<std::int64_t>(-1);
    return st.st_size;
}

bool PosixPlatformImpl::Truncate(int fd, std::uint64_t size)
{
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0)
        return Fail(false);
    return true;
}

bool PosixPlatformImpl::Sync(int fd)
{
    if (::fsync(fd) != 0)
        return Fail(false);
    return true;
}

bool PosixPlatformImpl::StartWriteback(int fd, std::uint64_t offset, std::uint64_t count)
{
    if (::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE) !=
        0)
        return Fail(false);
    return true;
}

bool PosixPlatformImpl::Close(int fd)
{
    Registry().Remove(fd);
    // The descriptor is released even when close reports an error; never retry.
    if (::close(fd) != 0 && errno != EINTR)
        return Fail(false);
    return true;
}

// ---- waitable objects ---------------------------------------------------

int PosixPlatformImpl::CreateEvent(bool manualReset, bool initiallySet)
{
    int fd = ::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return Fail(-1);
    Registry().Add(fd, manualReset ? Waitable::ManualEvent : Waitable::AutoEvent);
    return fd;
}

bool PosixPlatformImpl::SetEvent(int event)
{
    Waitable kind;
    if (!Registry().Find(event, kind) || kind == Waitable::Semaphore) {
        SetLastError(EBADF);
        return false;
    }
    // An event is either set or not: setting twice must not count twice.
    pollfd p{event, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN))
        return true;
    std::uint64_t one = 1;
    if (::write(event, &one, sizeof one) != static_cast<ssize_t>(sizeof one))
        return Fail(false);
    return true;
}

bool PosixPlatformImpl::ResetEvent(int event)
{
    Waitable kind;
    if (!Registry().Find(event, kind) || kind == Waitable::Semaphore) {
        SetLastError(EBADF);
        return false;
    }
    std::uint64_t value;
    if (::read(event, &value, sizeof value) < 0 && errno != EAGAIN)
        return Fail(false);
    return true;
}

int PosixPlatformImpl::CreateSemaphore(std::uint32_t initialCount)
{
    int fd = ::eventfd(initialCount, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (fd < 0)
        return Fail(-1);
    Registry().Add(fd, Waitable::Semaphore);
    return fd;
}

bool PosixPlatformImpl::ReleaseSemaphore(int semaphore, std::uint32_t count)
{
    std::uint64_t value = count;
    if (::write(semaphore, &value, sizeof value) != static_cast<ssize_t>(sizeof value))
        return Fail(false);
    return true;
}

WaitResult PosixPlatformImpl::WaitForObjects(const int* handles, std::size_t count, bool waitAll,
                                             std::uint32_t timeoutMs, std::size_t& index)
{
    index = 0;
    if (count == 0 || !handles) {
        SetLastError(EINVAL);
        return WaitResult::Failed;
    }
    std::vector<pollfd> fds(count);
    for (std::size_t i = 0; i < count; ++i) {
        // poll would silently skip a negative descriptor and wait for ever.
        if (handles[i] < 0) {
            SetLastError(EBADF);
            return WaitResult::Failed;
        }
        fds[i] = pollfd{handles[i], POLLIN, 0};
    }
    const std::uint64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        for (auto& p : fds)
            p.revents = 0;
        int rc = ::poll(fds.data(), fds.size(), PollTimeout(timeoutMs, deadline));
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return Fail(WaitResult::Failed);
        }
        for (auto& p : fds) {
            if (p.revents & POLLNVAL) {
                SetLastError(EBADF);
                return WaitResult::Failed;
            }
        }
        if (rc > 0) {
            if (!waitAll) {
                for (std::size_t i = 0; i < count; ++i) {
                    if (fds[i].revents && Take(handles[i])) {
                        index = i;
                        return WaitResult::Signalled;
                    }
                }
            } else if (static_cast<std::size_t>(rc) == count) {
                std::size_t taken = 0;
                while (taken < count && Take(handles[taken]))
                    ++taken;
                if (taken == count)
                    return WaitResult::Signalled;
                while (taken > 0)
                    Untake(handles[--taken]);
            } else if (timeoutMs != kInfinite && MonotonicMs() >= deadline) {
                return WaitResult::Timeout;
            } else {
                // Some but not all are ready: poll again shortly rather than spin.
                ::poll(nullptr, 0, 1);
            }
        }
        if (timeoutMs != kInfinite && MonotonicMs() >= deadline)
            return WaitResult::Timeout;
    }
}

// ---- process, threads, clocks ------------------------------------------

std::string PosixPlatformImpl::ComputerName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return Fail(std::string());
    return std::string(name).substr(0, 15);
}

std::uint64_t PosixPlatformImpl::ThreadId()
{
    return static_cast<std::uint64_t>(::syscall(SYS_gettid));
}

void PosixPlatformImpl::SetThreadName(const std::string& name)
{
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

std::uint64_t PosixPlatformImpl::MonotonicMs()
{
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

void PosixPlatformImpl::Sleep(std::uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::int64_t PosixPlatformImpl::WallClockMs()
{
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool PosixPlatformImpl::ToLocalTime(std::int64_t utcSeconds, std::tm& local)
{
    time_t t = static_cast<time_t>(utcSeconds);
    if (!::localtime_r(&t, &local))
        return Fail(false);
    return true;
}

bool PosixPlatformImpl::ToUtcTime(std::int64_t utcSeconds, std::tm& utc)
{
    time_t t = static_cast<time_t>(utcSeconds);
    if (!::gmtime_r(&t, &utc))
        return Fail(false);
    return true;
}

bool PosixPlatformImpl::FromLocalTime(std::tm& local, std::int64_t& utcSeconds)
{
    errno = 0;
    time_t t = ::mktime(&local);
    if (t == static_cast<time_t>(-1) && errno != 0)
        return Fail(false);
    utcSeconds = static_cast<std::int64_t>(t);
    return true;
}

void PosixPlatformImpl::SetTimeZone(const std::string& tz)
{
    std::lock_guard<std::mutex> lock(envMutex_);
    if (tz.empty())
        ::unsetenv("TZ");
    else
        ::setenv("TZ", tz.c_str(), 1);
    ::tzset();
}

// ---- user folders -------------------------------------------------------

std::string PosixPlatformImpl::HomeDirectory()
{
    const char* home = ::getenv("HOME");
    return home ? std::string(home) : std::string();
}

std::string PosixPlatformImpl::DataFolder()
{
    const char* xdg = ::getenv("XDG_DATA_HOME");
    if (xdg && *xdg)
        return xdg;
    return JoinPath(HomeDirectory(), ".local/share");
}

std::string PosixPlatformImpl::ExecutablePath()
{
    char buf[PATH_MAX + 1] = {};
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n < 0)
        return Fail(std::string());
    return std::string(buf, static_cast<std::size_t>(n));
}

// ---- helpers ------------------------------------------------------------

int PosixPlatformImpl::PollTimeout(std::uint32_t timeoutMs, std::uint64_t deadline)
{
    if (timeoutMs == kInfinite)
        return -1;
    std::uint64_t now = MonotonicMs();
    if (now >= deadline)
        return 0;
    std::uint64_t left = deadline - now;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

int Platform::LastError()
{
    return t_lastError;
}

void Platform::SetLastError(int code)
{
    t_lastError = code;
}

int Platform::MapErrno(int err, const std::string& path)
{
    switch (err) {
    case 0: return kErrNone;
    case ENOSPC:
    case EDQUOT: return kErrDiskFull;
    case ENOTEMPTY: return kErrDirNotEmpty;
    case EACCES:
    case EPERM:
    case EROFS: return kErrAccessDenied;
    case ENOTDIR: return kErrPathNotFound;
    case ENOENT: {
        if (path.empty())
            return kErrFileNotFound;
        struct stat st;
        std::string parent = ParentOf(path);
        if (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return kErrFileNotFound;
        return kErrPathNotFound;
    }
    case EEXIST: return kErrAlreadyExists;
    default: return err;
    }
}

std::string Platform::ErrorText(int code)
{
    int err = code;
    switch (code) {
    case kErrFileNotFound: err = ENOENT; break;
    case kErrPathNotFound: err = ENOTDIR; break;
    case kErrAccessDenied: err = EACCES; break;
    case kErrDiskFull: err = ENOSPC; break;
    case kErrDirNotEmpty: err = ENOTEMPTY; break;
    case kErrAlreadyExists: err = EEXIST; break;
    case kErrCancelled: return "Operation cancelled";
    case kErrTimeout: return "Operation timed out";
    default: break;
    }
    char buf[256] = {};
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = ::strerror_r(err, buf, sizeof buf);
    return text ? std::string(text) : std::string(buf);
}

Platform& PosixPlatform()
{
    static PosixPlatformImpl* platform = new PosixPlatformImpl; // never destroyed: used at exit
    return *platform;
}

Platform& Os()
{
    Platform* p = g_installed.load(std::memory_order_acquire);
    return p ? *p : PosixPlatform();
}

Platform* InstallPlatform(Platform* platform)
{
    Platform* previous = g_installed.exchange(platform, std::memory_order_acq_rel);
    return previous;
}

std::string JoinPath(const std::string& a, const std::string& b)
{
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    bool aSlash = a.back() == '/';
    bool bSlash = b.front() == '/';
    if (aSlash && bSlash)
        return a + b.substr(1);
    if (aSlash || bSlash)
        return a + b;
    return a + "/" + b;
}

} // namespace hl
