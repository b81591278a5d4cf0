// PosixPlatformImpl: directories and files by path.
#include "PosixPlatformImpl.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace hl {

// ---- directories --------------------------------------------------------

bool PosixPlatformImpl::PathExists(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Fail(false, path);
    return true;
}

bool PosixPlatformImpl::DirectoryExists(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Fail(false, path);
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(kErrPathNotFound);
        return false;
    }
    return true;
}

bool PosixPlatformImpl::QuerySymbolicLink(const std::string& path, bool& isLink)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return Fail(false, path);
    isLink = S_ISLNK(st.st_mode);
    return true;
}

bool PosixPlatformImpl::CreateDirectory(const std::string& path)
{
    if (::mkdir(path.c_str(), 0777) != 0) {
        if (errno == EEXIST) {
            SetLastError(kErrAlreadyExists);
            return false;
        }
        return Fail(false, path);
    }
    return true;
}

bool PosixPlatformImpl::RemoveDirectory(const std::string& path)
{
    if (::rmdir(path.c_str()) != 0) {
        // POSIX lets rmdir report a non-empty directory as EEXIST too.
        if (errno == EEXIST) {
            SetLastError(kErrDirNotEmpty);
            return false;
        }
        return Fail(false, path);
    }
    return true;
}

bool PosixPlatformImpl::ListDirectory(const std::string& path, std::vector<std::string>& names)
{
    names.clear();
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return Fail(false, path);
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        names.emplace_back(entry->d_name);
    }
    int err = errno;
    ::closedir(dir);
    if (err != 0) {
        errno = err;
        return Fail(false, path);
    }
    return true;
}

// ---- files by path ------------------------------------------------------

bool PosixPlatformImpl::FileExists(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Fail(false, path);
    if (!S_ISREG(st.st_mode)) {
        SetLastError(kErrFileNotFound);
        return false;
    }
    return true;
}

std::int64_t PosixPlatformImpl::FileSize(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Fail<std::int64_t>(-1, path);
    return st.st_size;
}

bool PosixPlatformImpl::DeleteFile(const std::string& path)
{
    if (::unlink(path.c_str()) != 0)
        return Fail(false, path);
    return true;
}

bool PosixPlatformImpl::MoveFile(const std::string& from, const std::string& to)
{
    if (::rename(from.c_str(), to.c_str()) == 0)
        return true;
    if (errno != EXDEV)
        return Fail(false, from);
    // Another file system: copy, make it durable, then drop the source.
    if (!CopyFile(from, to, false, CopyProgress()))
        return false;
    if (::unlink(from.c_str()) != 0)
        return Fail(false, from);
    return true;
}

bool PosixPlatformImpl::SyncDirectory(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Fail(false, path);
    bool ok = ::fsync(fd) == 0;
    int err = errno;
    ::close(fd);
    if (!ok) {
        errno = err;
        return Fail(false, path);
    }
    return true;
}

bool PosixPlatformImpl::CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                                 const CopyProgress& progress)
{
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return Fail(false, from);
    struct stat st;
    if (::fstat(in, &st) != 0) {
        int err = errno;
        ::close(in);
        errno = err;
        return Fail(false, from);
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    int out = ::open(to.c_str(), flags, 0666);
    if (out < 0) {
        int err = errno;
        ::close(in);
        if (err == EEXIST) {
            SetLastError(kErrAlreadyExists);
            return false;
        }
        errno = err;
        return Fail(false, to);
    }
    const std::uint64_t total = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t copied = 0;
    std::vector<char> chunk(1 << 20);
    int error = 0;
    for (;;) {
        ssize_t n = ::read(in, chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = MapErrno(errno, from);
            break;
        }
        if (n == 0)
            break;
        if (!Write(out, chunk.data(), static_cast<std::size_t>(n))) {
            error = LastError();
            break;
        }
        copied += static_cast<std::uint64_t>(n);
        if (progress && !progress(copied, total)) {
            error = kErrCancelled;
            break;
        }
    }
    if (error == 0 && ::fsync(out) != 0)
        error = MapErrno(errno, to);
    if (::close(out) != 0 && error == 0 && errno != EINTR)
        error = MapErrno(errno, to);
    ::close(in);
    if (error != 0) {
        ::unlink(to.c_str());
        SetLastError(error);
        return false;
    }
    return true;
}

bool PosixPlatformImpl::SetReadOnly(const std::string& path, bool readOnly)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Fail(false, path);
    mode_t mode = st.st_mode & 07777;
    mode = readOnly ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
    if (::chmod(path.c_str(), mode) != 0)
        return Fail(false, path);
    return true;
}

bool PosixPlatformImpl::FreeSpace(const std::string& path, std::uint64_t& bytes)
{
    struct statvfs vfs;
    if (::statvfs(path.c_str(), &vfs) != 0)
        return Fail(false, path);
    bytes = static_cast<std::uint64_t>(vfs.f_bavail) * static_cast<std::uint64_t>(vfs.f_frsize);
    return true;
}

std::string PosixPlatformImpl::TempFileName(const std::string& dir, const std::string& prefix)
{
    std::string pattern = JoinPath(dir, prefix + "XXXXXX");
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd < 0)
        return Fail(std::string(), dir + "/x");
    ::close(fd);
    return std::string(buf.data());
}

std::string PosixPlatformImpl::MakeTempDirectory(const std::string& dir, const std::string& prefix)
{
    std::string pattern = JoinPath(dir, prefix + "XXXXXX");
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        return Fail(std::string(), dir + "/x");
    return std::string(buf.data());
}

} // namespace hl
