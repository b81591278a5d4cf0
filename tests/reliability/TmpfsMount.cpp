#include "TmpfsMount.h"

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

TmpfsMount::~TmpfsMount()
{
    Unmount();
}

bool TmpfsMount::Mount(const std::string& dir, std::uint64_t bytes, std::string& why)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        why = "cannot mount a tmpfs on " + dir + ": " + std::strerror(errno);
        return false;
    }
    m_dir = dir;
    return true;
}

void TmpfsMount::Unmount()
{
    if (m_dir.empty())
        return;
    ::umount2(m_dir.c_str(), MNT_DETACH);
    m_dir.clear();
}

std::uint64_t TmpfsMount::Free() const
{
    struct statvfs s {};
    if (m_dir.empty() || ::statvfs(m_dir.c_str(), &s) != 0)
        return 0;
    return std::uint64_t(s.f_bavail) * s.f_frsize;
}
