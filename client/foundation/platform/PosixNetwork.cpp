// PosixPlatformImpl: TCP sockets and the network configuration.
#include "PosixPlatformImpl.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace hl {

// ---- TCP ----------------------------------------------------------------

bool PosixPlatformImpl::SocketStackVersion(int& major, int& minor)
{
    major = 2;
    minor = 2;
    return true;
}

namespace {

// "" is every local address; anything else must be a dotted IPv4 address.
bool ToSocketAddress(const std::string& ipv4, std::uint16_t port, sockaddr_in& addr)
{
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (ipv4.empty()) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return ::inet_pton(AF_INET, ipv4.c_str(), &addr.sin_addr) == 1;
}

} // namespace

int PosixPlatformImpl::ListenOn(const std::string& ipv4, std::uint16_t port, int backlog)
{
    sockaddr_in addr{};
    if (!ToSocketAddress(ipv4, port, addr)) {
        SetLastError(EINVAL);
        return -1;
    }
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return Fail(-1);
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, backlog) != 0) {
        int err = errno;
        ::close(s);
        errno = err;
        return Fail(-1);
    }
    return s;
}

int PosixPlatformImpl::LocalPort(int socket)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return Fail(-1);
    return ntohs(addr.sin_port);
}

int PosixPlatformImpl::Accept(int listenSocket, std::string* peer)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int s;
    do {
        s = ::accept4(listenSocket, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s < 0)
        return Fail(-1);
    if (peer) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        *peer = text;
    }
    return s;
}

int PosixPlatformImpl::ConnectFrom(const std::string& source, const std::string& ipv4, std::uint16_t port)
{
    sockaddr_in addr{};
    sockaddr_in local{};
    if (ipv4.empty() || !ToSocketAddress(ipv4, port, addr) || !ToSocketAddress(source, 0, local)) {
        SetLastError(EINVAL);
        return -1;
    }
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return Fail(-1);
    if (!source.empty() && ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        int err = errno;
        ::close(s);
        errno = err;
        return Fail(-1);
    }
    int rc;
    do {
        rc = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        ::close(s);
        errno = err;
        return Fail(-1);
    }
    return s;
}

std::int64_t PosixPlatformImpl::Recv(int socket, void* buffer, std::size_t count)
{
    ssize_t n;
    do {
        n = ::recv(socket, buffer, count, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return Fail<std::int64_t>(-1);
    return n;
}

bool PosixPlatformImpl::SendAll(int socket, const void* buffer, std::size_t count)
{
    std::size_t done = 0;
    auto* p = static_cast<const char*>(buffer);
    while (done < count) {
        ssize_t n = ::send(socket, p + done, count - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // SO_SNDTIMEO ran out with nothing sent.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                SetLastError(kErrTimeout);
                return false;
            }
            return Fail(false);
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool PosixPlatformImpl::SetSendTimeout(int socket, std::uint32_t timeoutMs)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
    if (::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
        return Fail(false);
    return true;
}

bool PosixPlatformImpl::SetKeepAlive(int socket, std::uint32_t idleMs, std::uint32_t intervalMs, int probes)
{
    int on = 1;
    // The kernel counts in whole seconds, at least one.
    int idle = static_cast<int>(std::max<std::uint32_t>(1, idleMs / 1000));
    int interval = static_cast<int>(std::max<std::uint32_t>(1, intervalMs / 1000));
    int count = std::max(1, probes);
    if (::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0)
        return Fail(false);
    return true;
}

int PosixPlatformImpl::WaitReadable(int fd, std::uint32_t timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    const std::uint64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        int wait = PollTimeout(timeoutMs, deadline);
        int rc = ::poll(&p, 1, wait);
        if (rc > 0)
            return 1;
        if (rc == 0) {
            if (timeoutMs != kInfinite && MonotonicMs() >= deadline)
                return 0;
            continue;
        }
        if (errno != EINTR)
            return Fail(-1);
    }
}

// ---- network configuration ----------------------------------------------

std::vector<std::string> PosixPlatformImpl::IPv4Addresses()
{
    std::vector<std::string> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return Fail(result);
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(it->ifa_flags & IFF_UP) || (it->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        auto* in = reinterpret_cast<sockaddr_in*>(it->ifa_addr);
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            result.emplace_back(text);
    }
    ::freeifaddrs(list);
    return result;
}

int PosixPlatformImpl::OpenAddressChangeSource()
{
    int s = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (s < 0)
        return Fail(-1);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_IPV4_IFADDR;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(s);
        errno = err;
        return Fail(-1);
    }
    return s;
}

void PosixPlatformImpl::DrainAddressChangeSource(int fd)
{
    char buf[8192];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {}
}

} // namespace hl
