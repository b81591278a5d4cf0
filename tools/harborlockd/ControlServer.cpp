#include "ControlServer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr std::size_t kMaxRequest = 64 * 1024;

bool FillAddress(const std::string& path, sockaddr_un& addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::vector<std::string> SplitFields(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const auto tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            break;
        start = tab + 1;
    }
    return fields;
}

} // namespace

ControlServer::~ControlServer()
{
    Close();
}

bool ControlServer::Open(const std::string& path, std::string& why)
{
    sockaddr_un addr;
    if (!FillAddress(path, addr)) {
        why = "the control socket path is too long: " + path;
        return false;
    }
    // A socket file left behind by a daemon that was killed is replaced; one that answers
    // belongs to a running daemon and is left alone.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            why = path + " exists and is not a socket";
            return false;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool answered =
            probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0)
            ::close(probe);
        if (answered) {
            why = "another harborlockd already listens on " + path;
            return false;
        }
        ::unlink(path.c_str());
    }

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        why = std::string("cannot create the control socket: ") + std::strerror(errno);
        return false;
    }
    // Created owner-only, so that there is no moment in which others could connect.
    const mode_t old = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int err = errno;
    ::umask(old);
    if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 8) != 0) {
        why = "cannot listen on " + path + ": " + std::strerror(bound != 0 ? err : errno);
        ::close(fd);
        if (bound == 0)
            ::unlink(path.c_str());
        return false;
    }
    m_listenFd = fd;
    m_path = path;
    return true;
}

void ControlServer::Close()
{
    for (auto& [fd, data] : m_clients)
        ::close(fd);
    m_clients.clear();
    m_answering.clear();
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
        ::unlink(m_path.c_str());
    }
}

std::vector<int> ControlServer::Descriptors() const
{
    std::vector<int> fds;
    if (m_listenFd >= 0)
        fds.push_back(m_listenFd);
    for (const auto& [fd, data] : m_clients)
        if (!m_answering.count(fd))
            fds.push_back(fd);
    return fds;
}

void ControlServer::Drop(int fd)
{
    ::close(fd);
    m_clients.erase(fd);
    m_answering.erase(fd);
}

bool ControlServer::OnReadable(int fd, std::vector<std::string>& request)
{
    if (fd == m_listenFd) {
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            return false;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            (cred.uid != ::geteuid() && cred.uid != 0)) {
            ::close(client);
            return false;
        }
        m_clients[client];
        return false;
    }
    auto it = m_clients.find(fd);
    if (it == m_clients.end() || m_answering.count(fd))
        return false;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return false;
    if (n <= 0) {
        Drop(fd);
        return false;
    }
    it->second.append(buf, static_cast<std::size_t>(n));
    const auto end = it->second.find('\n');
    if (end == std::string::npos) {
        if (it->second.size() > kMaxRequest)
            Drop(fd);
        return false;
    }
    request = SplitFields(it->second.substr(0, end));
    m_answering[fd] = true;
    return true;
}

void ControlServer::Answer(int fd, int exitCode, const std::string& body)
{
    if (!m_clients.count(fd))
        return;
    // The answer is written whole; a client that stops reading is given a few seconds.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const std::string text = std::to_string(exitCode) + "\n" + body;
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    Drop(fd);
}
