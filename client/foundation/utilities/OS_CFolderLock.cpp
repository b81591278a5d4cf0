#include "OS_CFolderLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

std::string Parent(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string Base(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace

OS_CFolderLock::~OS_CFolderLock()
{
    Release();
}

std::string OS_CFolderLock::Canonical(const std::string& folder)
{
    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(folder, ec);
    if (ec)
        path = folder;
    // Links in the existing part are resolved; the rest is only made tidy.
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
    if (ec)
        resolved = path;
    std::string out = resolved.lexically_normal().string();
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

std::string OS_CFolderLock::LockFileBeside(const std::string& backupFolder)
{
    const std::string folder = Canonical(backupFolder);
    const std::string parent = Parent(folder);
    return (parent == "/" ? std::string() : parent) + "/." + Base(folder) + ".harborlock-lock";
}

int OS_CFolderLock::OpenLockFile(const std::string& path)
{
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

OS_CFolderLock::Result OS_CFolderLock::Acquire(const std::string& backupFolder,
                                               const std::string& fallbackDir, const std::string& program)
{
    m_holder.clear();
    const std::string folder = Canonical(backupFolder);
    std::string path = LockFileBeside(folder);
    int fd = OpenLockFile(path);
    if (fd < 0 && !fallbackDir.empty()) {
        std::string key = folder;
        for (char& c : key)
            if (c == '/')
                c = '%';
        path = fallbackDir + "/folder" + key + ".harborlock-lock";
        fd = OpenLockFile(path);
    }
    if (fd < 0)
        return Result::Failed;

    // Locking the same file twice from one process would succeed on a second descriptor only
    // because flock locks belong to the open file: the same folder must not be locked again.
    if (m_fd >= 0 && path == m_lockFile) {
        ::close(fd);
        return Result::Locked;
    }

    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            char buf[256] = {};
            const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
            m_holder = n > 0 ? Trimmed(std::string(buf, static_cast<std::size_t>(n))) : std::string();
            if (m_holder.empty())
                m_holder = "another program";
            ::close(fd);
            return Result::HeldElsewhere;
        }
        ::close(fd);
        return Result::Failed;
    }

    const std::string note = program + " (process " + std::to_string(::getpid()) + ")\n";
    if (::ftruncate(fd, 0) == 0) {
        const ssize_t written = ::pwrite(fd, note.data(), note.size(), 0);
        (void)written; // the note only helps the second program's message
    }
    Release();
    m_fd = fd;
    m_folder = folder;
    m_lockFile = path;
    return Result::Locked;
}

void OS_CFolderLock::Release()
{
    if (m_fd < 0)
        return;
    // Empty the note before letting go: a stale name must not be shown for a free folder.
    [[maybe_unused]] const int emptied = ::ftruncate(m_fd, 0);
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
    m_folder.clear();
    m_lockFile.clear();
}
