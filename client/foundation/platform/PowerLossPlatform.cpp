#include "PowerLossPlatform.h"

#include <algorithm>
#include <vector>

namespace hl {

PowerLossPlatform::PowerLossPlatform(Platform& inner, const std::string& root)
    : PlatformWrapper(inner), root_(root)
{
    while (root_.size() > 1 && root_.back() == '/')
        root_.pop_back();
    liveDirs_.insert(root_);
    Scan(root_);
    durableNames_ = liveNames_;
    durableDirs_ = liveDirs_;
}

void PowerLossPlatform::Scan(const std::string& dir)
{
    std::vector<std::string> names;
    if (!Inner().ListDirectory(dir, names))
        return;
    for (const std::string& name : names) {
        const std::string path = JoinPath(dir, name);
        if (Inner().DirectoryExists(path)) {
            liveDirs_.insert(path);
            Scan(path);
        } else if (Inner().FileExists(path)) {
            const FileId id = nextId_++;
            liveNames_[path] = id;
            ReadContent(path, durableData_[id]);
        }
    }
}

bool PowerLossPlatform::ReadContent(const std::string& path, std::string& content)
{
    content.clear();
    const int fd = Inner().OpenFile(path, OpenMode::Read);
    if (fd < 0)
        return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const std::int64_t n = Inner().Read(fd, buffer, sizeof buffer);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    Inner().Close(fd);
    return ok;
}

bool PowerLossPlatform::Under(const std::string& path) const
{
    return path == root_ || (path.size() > root_.size() && path.compare(0, root_.size(), root_) == 0 &&
                             path[root_.size()] == '/');
}

std::string PowerLossPlatform::Parent(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void PowerLossPlatform::CutAt(std::uint64_t k)
{
    std::lock_guard<std::mutex> guard(mutex_);
    cutAt_ = k;
}

void PowerLossPlatform::CutNow()
{
    std::lock_guard<std::mutex> guard(mutex_);
    cut_ = true;
}

bool PowerLossPlatform::IsCut() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return cut_;
}

std::uint64_t PowerLossPlatform::Points() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return points_;
}

bool PowerLossPlatform::Refuse()
{
    Platform::SetLastError(kErrPowerLost);
    return false;
}

bool PowerLossPlatform::ReachPoint()
{
    ++points_;
    if (cutAt_ != 0 && points_ == cutAt_)
        cut_ = true;
    return !cut_;
}

PowerLossPlatform::FileId PowerLossPlatform::NewFile(const std::string& path)
{
    const FileId id = nextId_++;
    liveNames_[path] = id;
    durableData_[id].clear(); // nothing of a new file is durable yet
    return id;
}

bool PowerLossPlatform::CreateDirectory(const std::string& path)
{
    if (!Under(path))
        return PlatformWrapper::CreateDirectory(path);
    std::lock_guard<std::mutex> guard(mutex_);
    if (cut_)
        return Refuse();
    if (!PlatformWrapper::CreateDirectory(path))
        return false;
    liveDirs_.insert(path);
    return true;
}

bool PowerLossPlatform::RemoveDirectory(const std::string& path)
{
    if (!Under(path))
        return PlatformWrapper::RemoveDirectory(path);
    std::lock_guard<std::mutex> guard(mutex_);
    if (cut_)
        return Refuse();
    if (!PlatformWrapper::RemoveDirectory(path))
        return false;
    liveDirs_.erase(path);
    return true;
}

int PowerLossPlatform::OpenFile(const std::string& path, OpenMode mode)
{
    if (!Under(path))
        return PlatformWrapper::OpenFile(path, mode);
    std::lock_guard<std::mutex> guard(mutex_);
    if (cut_) {
        Refuse();
        return -1;
    }
    const int fd = PlatformWrapper::OpenFile(path, mode);
    if (fd < 0)
        return fd;
    auto it = liveNames_.find(path);
    const FileId id = it != liveNames_.end() ? it->second : NewFile(path);
    descriptors_[fd] = id;
    return fd;
}

bool PowerLossPlatform::Write(int fd, const void* buffer, std::size_t count)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (cut_ && descriptors_.count(fd))
            return Refuse();
    }
    return PlatformWrapper::Write(fd, buffer, count);
}

bool PowerLossPlatform::WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (cut_ && descriptors_.count(fd))
            return Refuse();
    }
    return PlatformWrapper::WriteAt(fd, buffer, count, offset);
}

bool PowerLossPlatform::Truncate(int fd, std::uint64_t size)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (cut_ && descriptors_.count(fd))
            return Refuse();
    }
    return PlatformWrapper::Truncate(fd, size);
}

bool PowerLossPlatform::Sync(int fd)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = descriptors_.find(fd);
    if (it == descriptors_.end())
        return PlatformWrapper::Sync(fd);
    if (cut_ || !ReachPoint())
        return Refuse();
    if (!PlatformWrapper::Sync(fd))
        return false;
    // The data as it now stands is what the file holds after a restart, under whatever name
    // the file has by then.
    for (const auto& [path, id] : liveNames_)
        if (id == it->second) {
            ReadContent(path, durableData_[id]);
            break;
        }
    return true;
}

bool PowerLossPlatform::Close(int fd)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        descriptors_.erase(fd);
    }
    return PlatformWrapper::Close(fd);
}

bool PowerLossPlatform::DeleteFile(const std::string& path)
{
    if (!Under(path))
        return PlatformWrapper::DeleteFile(path);
    std::lock_guard<std::mutex> guard(mutex_);
    if (cut_)
        return Refuse();
    if (!PlatformWrapper::DeleteFile(path))
        return false;
    liveNames_.erase(path);
    return true;
}

bool PowerLossPlatform::MoveFile(const std::string& from, const std::string& to)
{
    if (!Under(from) && !Under(to))
        return PlatformWrapper::MoveFile(from, to);
    std::lock_guard<std::mutex> guard(mutex_);
    if (cut_)
        return Refuse();
    if (!PlatformWrapper::MoveFile(from, to))
        return false;
    auto it = liveNames_.find(from);
    if (it != liveNames_.end()) {
        const FileId id = it->second;
        liveNames_.erase(it);
        if (Under(to))
            liveNames_[to] = id;
    } else if (Under(to)) {
        NewFile(to);
    }
    return true;
}

bool PowerLossPlatform::SyncDirectory(const std::string& path)
{
    if (!Under(path))
        return PlatformWrapper::SyncDirectory(path);
    std::lock_guard<std::mutex> guard(mutex_);
    if (cut_ || !ReachPoint())
        return Refuse();
    if (!PlatformWrapper::SyncDirectory(path))
        return false;
    // The directory's entries as they stand now are what a restart finds in it.
    for (auto it = durableNames_.begin(); it != durableNames_.end();)
        it = Parent(it->first) == path ? durableNames_.erase(it) : std::next(it);
    for (const auto& [name, id] : liveNames_)
        if (Parent(name) == path)
            durableNames_[name] = id;
    for (auto it = durableDirs_.begin(); it != durableDirs_.end();)
        it = Parent(*it) == path ? durableDirs_.erase(it) : std::next(it);
    for (const std::string& dir : liveDirs_)
        if (Parent(dir) == path)
            durableDirs_.insert(dir);
    return true;
}

bool PowerLossPlatform::CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                                 const CopyProgress& progress)
{
    if (!Under(to))
        return PlatformWrapper::CopyFile(from, to, failIfExists, progress);
    std::lock_guard<std::mutex> guard(mutex_);
    if (cut_ || !ReachPoint())
        return Refuse();
    if (!PlatformWrapper::CopyFile(from, to, failIfExists, progress))
        return false;
    // The copy syncs its target's data; its name still waits for the directory.
    const FileId id = NewFile(to);
    ReadContent(to, durableData_[id]);
    return true;
}

std::string PowerLossPlatform::TempFileName(const std::string& dir, const std::string& prefix)
{
    if (!Under(dir))
        return PlatformWrapper::TempFileName(dir, prefix);
    std::lock_guard<std::mutex> guard(mutex_);
    if (cut_) {
        Refuse();
        return std::string();
    }
    const std::string path = PlatformWrapper::TempFileName(dir, prefix);
    if (!path.empty())
        NewFile(path);
    return path;
}

std::string PowerLossPlatform::MakeTempDirectory(const std::string& dir, const std::string& prefix)
{
    if (!Under(dir))
        return PlatformWrapper::MakeTempDirectory(dir, prefix);
    std::lock_guard<std::mutex> guard(mutex_);
    if (cut_) {
        Refuse();
        return std::string();
    }
    const std::string path = PlatformWrapper::MakeTempDirectory(dir, prefix);
    if (!path.empty())
        liveDirs_.insert(path);
    return path;
}

bool PowerLossPlatform::ApplyLoss()
{
    std::lock_guard<std::mutex> guard(mutex_);
    cut_ = true;
    Platform& os = Inner();
    // Empty the root, deepest entries first.
    std::vector<std::string> stack = {root_};
    std::vector<std::string> found;
    while (!stack.empty()) {
        const std::string dir = stack.back();
        stack.pop_back();
        std::vector<std::string> names;
        if (!os.ListDirectory(dir, names))
            continue;
        for (const std::string& name : names) {
            const std::string path = JoinPath(dir, name);
            if (os.DirectoryExists(path)) {
                found.push_back(path);
                stack.push_back(path);
            } else if (!os.DeleteFile(path)) {
                return false;
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& dir : found)
        if (!os.RemoveDirectory(dir))
            return false;

    // A name survives only when every directory above it survived.
    auto reachable = [this](const std::string& path) {
        for (std::string p = Parent(path); Under(p); p = Parent(p)) {
            if (!durableDirs_.count(p))
                return false;
            if (p == root_)
                return true;
        }
        return false;
    };
    std::vector<std::string> keep;
    for (const std::string& dir : durableDirs_)
        if (dir != root_ && reachable(dir))
            keep.push_back(dir);
    std::sort(keep.begin(), keep.end(),
              [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    for (const std::string& dir : keep)
        if (!os.CreateDirectory(dir))
            return false;
    for (const auto& [path, id] : durableNames_) {
        if (!reachable(path))
            continue;
        const int fd = os.OpenFile(path, OpenMode::Truncate);
        if (fd < 0)
            return false;
        const std::string& data = durableData_[id];
        const bool ok = data.empty() || os.Write(fd, data.data(), data.size());
        os.Close(fd);
        if (!ok)
            return false;
    }
    liveNames_ = durableNames_;
    liveDirs_ = durableDirs_;
    descriptors_.clear();
    return true;
}

} // namespace hl
