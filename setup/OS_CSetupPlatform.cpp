#include "OS_CSetupPlatform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::string OS_CSetupPlatform::OwnFilePath()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

int OS_CSetupPlatform::OpenRead(const std::string& path)
{
    return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int OS_CSetupPlatform::CreateReplace(const std::string& path)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
}

void OS_CSetupPlatform::Close(int fd)
{
    if (fd >= 0)
        close(fd);
}

std::int64_t OS_CSetupPlatform::FileSize(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool OS_CSetupPlatform::ReadAt(int fd, std::int64_t offset, void* buffer, std::size_t count)
{
    auto* p = static_cast<char*>(buffer);
    while (count > 0) {
        const ssize_t n = pread(fd, p, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        offset += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool OS_CSetupPlatform::WriteAll(int fd, const void* data, std::size_t count)
{
    const auto* p = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t n = write(fd, p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool OS_CSetupPlatform::FlushClose(int fd)
{
    const bool synced = fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    return synced && closed;
}

bool OS_CSetupPlatform::RemoveFile(const std::string& path)
{
    return unlink(path.c_str()) == 0;
}

bool OS_CSetupPlatform::RemoveDir(const std::string& path)
{
    return rmdir(path.c_str()) == 0;
}

bool OS_CSetupPlatform::MakeDirs(const std::string& path)
{
    if (path.empty())
        return false;
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        const std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string OS_CSetupPlatform::MakePrivateTempDir(const std::string& prefix)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp && tmp[0] == '/') ? tmp : "/tmp";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    std::string templ = base + "/" + prefix + "XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        return {};
    return std::string(buf.data());
}

namespace {
std::vector<char*> ArgvOf(const std::vector<std::string>& argv)
{
    std::vector<char*> out;
    for (const auto& a : argv)
        out.push_back(const_cast<char*>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

pid_t Spawn(const std::vector<std::string>& argv, bool defaultSignals)
{
    if (argv.empty())
        return -1;
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (defaultSignals) {
        sigset_t def;
        sigemptyset(&def);
        sigaddset(&def, SIGINT);
        sigaddset(&def, SIGQUIT);
        posix_spawnattr_setsigdefault(&attr, &def);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    }
    auto args = ArgvOf(argv);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

int WaitExitCode(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}
} // namespace

int OS_CSetupPlatform::RunAndWait(const std::vector<std::string>& argv)
{
    struct sigaction ignore {
    }, oldInt{}, oldQuit{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &oldInt);
    sigaction(SIGQUIT, &ignore, &oldQuit);
    const pid_t pid = Spawn(argv, true);
    const int code = pid < 0 ? -1 : WaitExitCode(pid);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    return code;
}

long OS_CSetupPlatform::Start(const std::vector<std::string>& argv)
{
    return static_cast<long>(Spawn(argv, false));
}

void OS_CSetupPlatform::Stop(long pid)
{
    if (pid <= 0)
        return;
    kill(static_cast<pid_t>(pid), SIGTERM);
    WaitExitCode(static_cast<pid_t>(pid));
}

std::string OS_CSetupPlatform::FindInPath(const std::string& tool)
{
    const char* path = std::getenv("PATH");
    if (!path)
        return {};
    const std::string all = path;
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find(':', start);
        if (end == std::string::npos)
            end = all.size();
        const std::string dir = all.substr(start, end - start);
        if (!dir.empty()) {
            const std::string candidate = dir + "/" + tool;
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return {};
}

bool OS_CSetupPlatform::HasTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

bool OS_CSetupPlatform::HasDisplay()
{
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
}

void OS_CSetupPlatform::WriteStderr(const std::string& text)
{
    WriteAll(STDERR_FILENO, text.data(), text.size());
}
