#include "OS_CFolderLock.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

namespace {

std::string Parent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0)
    return "/";
  return path.substr(0, slash);
}

std::string Base(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

}  // namespace

OS_CFolderLock::~OS_CFolderLock() {
  Release();
}

std::string OS_CFolderLock::Canonical(const std::string& folder) {
  std::string path = folder;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd))
      path = std::string(cwd) + "/" + path;
  }
  // Resolve the longest existing prefix; keep the rest as written.
  std::string rest;
  std::string head = path;
  while (true) {
    char resolved[PATH_MAX];
    if (::realpath(head.c_str(), resolved)) {
      head = resolved;
      break;
    }
    if (head == "/" || head.empty())
      break;
    rest = "/" + Base(head) + rest;
    head = Parent(head);
  }
  std::string joined = (head == "/" ? std::string() : head) + rest;
  // Drop "." and ".." in the part that does not exist yet.
  std::string out;
  std::size_t i = 0;
  while (i < joined.size()) {
    const auto next = joined.find('/', i + 1);
    const std::string part = joined.substr(i + 1, (next == std::string::npos ? joined.size() : next) - i - 1);
    if (part == "..") {
      const auto slash = out.find_last_of('/');
      out = slash == std::string::npos ? std::string() : out.substr(0, slash);
    } else if (!part.empty() && part != ".") {
      out += "/" + part;
    }
    if (next == std::string::npos)
      break;
    i = next;
  }
  return out.empty() ? "/" : out;
}

std::string OS_CFolderLock::LockFileBeside(const std::string& backupFolder) {
  const std::string folder = Canonical(backupFolder);
  const std::string parent = Parent(folder);
  return (parent == "/" ? std::string() : parent) + "/." + Base(folder) + ".harborlock-lock";
}

int OS_CFolderLock::OpenLockFile(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

OS_CFolderLock::Result OS_CFolderLock::Acquire(const std::string& backupFolder,
                                               const std::string& fallbackDir,
                                               const std::string& program) {
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
    (void)written;  // the note only helps the second program's message
  }
  Release();
  m_fd = fd;
  m_folder = folder;
  m_lockFile = path;
  return Result::Locked;
}

void OS_CFolderLock::Release() {
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
