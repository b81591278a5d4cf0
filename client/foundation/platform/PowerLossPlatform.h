// Power-loss simulation for tests: forwards to another platform and keeps, for every file and
// directory under one root, what a power cut would leave behind. File contents become durable
// only through Sync (or a finished CopyFile, which syncs its target); names (creations,
// renames, deletions) only through SyncDirectory of the directory that holds them. A new file
// whose data was never synced survives, if its name does, empty.
//
// Durability points are the calls that make something durable (Sync, SyncDirectory, CopyFile
// under the root), numbered from 1 as they happen. CutAt(k) lets the power go as the kth point
// is reached: that point takes no effect, and every later call that touches the root fails
// (the machine is off). ApplyLoss() then rewrites the root on disk to the durable state, as it
// would be found after the restart.
//
//   PowerLossPlatform power(PosixPlatform(), root);
//   power.CutAt(k);
//   { ScopedPlatform use(power); RunOperation(); }
//   power.ApplyLoss();
//   CheckEveryRecordWhole();
#pragma once

#include "PlatformWrapper.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace hl {

class PowerLossPlatform : public PlatformWrapper {
public:
    // Error number of every call refused after the cut (ERROR_IO_DEVICE).
    static constexpr int kErrPowerLost = 1117;

    // Takes the current contents of root (which must exist) as durable.
    PowerLossPlatform(Platform& inner, const std::string& root);

    // The power goes as durability point k (1-based) is reached; 0 never.
    void CutAt(std::uint64_t k);
    // The power goes now.
    void CutNow();
    bool IsCut() const;
    // Durability points reached so far (the cut one included).
    std::uint64_t Points() const;

    // Rewrites the root to what survived. Call with the wrapper no longer in use.
    bool ApplyLoss();

    bool CreateDirectory(const std::string& path) override;
    bool RemoveDirectory(const std::string& path) override;
    int OpenFile(const std::string& path, OpenMode mode) override;
    bool Write(int fd, const void* buffer, std::size_t count) override;
    bool WriteAt(int fd, const void* buffer, std::size_t count, std::uint64_t offset) override;
    bool Truncate(int fd, std::uint64_t size) override;
    bool Sync(int fd) override;
    bool Close(int fd) override;
    bool DeleteFile(const std::string& path) override;
    bool MoveFile(const std::string& from, const std::string& to) override;
    bool SyncDirectory(const std::string& path) override;
    bool CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                  const CopyProgress& progress) override;
    std::string TempFileName(const std::string& dir, const std::string& prefix) override;
    std::string MakeTempDirectory(const std::string& dir, const std::string& prefix) override;

private:
    using FileId = std::uint64_t;

    bool Under(const std::string& path) const;
    static std::string Parent(const std::string& path);
    // Counts a durability point; false when the power goes at it (the caller then fails).
    bool ReachPoint();
    bool Refuse();
    FileId NewFile(const std::string& path);
    bool ReadContent(const std::string& path, std::string& content);
    void Scan(const std::string& dir);

    mutable std::mutex mutex_;
    std::string root_;
    std::uint64_t cutAt_ = 0;
    std::uint64_t points_ = 0;
    bool cut_ = false;
    FileId nextId_ = 1;
    std::map<std::string, FileId> liveNames_;    // files as the running program sees them
    std::map<std::string, FileId> durableNames_; // files a restart would find
    std::set<std::string> liveDirs_;
    std::set<std::string> durableDirs_;
    std::map<FileId, std::string> durableData_; // synced contents
    std::map<int, FileId> descriptors_;         // open descriptors of files under the root
};

} // namespace hl
