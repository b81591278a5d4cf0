// OS_CFolderLock: the advisory lock that lets only one Harborlock program (the window or
// harborlockd) serve a backup folder at a time.
//
// The lock is an flock on a small file beside the backup folder, never on the backup files
// themselves: "<parent>/.<folder name>.harborlock-lock". When the parent cannot hold that file
// (a mount point's read-only parent), the file goes into a fallback directory the caller
// names (the data root's Config folder), keyed by the folder's full path. The holder writes
// its process id and program name into the file, so the second program can say who serves
// the folder. The kernel drops the lock when the holder ends, however it ends.
#pragma once

#include <string>
#include <sys/types.h>

class OS_CFolderLock {
public:
    enum class Result {
        Locked,        // this object now holds the folder
        HeldElsewhere, // another process serves the folder; see Holder()
        Failed,        // no lock file could be opened
    };

    OS_CFolderLock() = default;
    ~OS_CFolderLock();
    OS_CFolderLock(const OS_CFolderLock&) = delete;
    OS_CFolderLock& operator=(const OS_CFolderLock&) = delete;

    // Locks the backup folder for `program`. An earlier lock of this object is kept until the
    // new one is held, then released (so a failed switch leaves the old folder locked).
    Result Acquire(const std::string& backupFolder, const std::string& fallbackDir,
                   const std::string& program);
    void Release();

    bool IsHeld() const { return m_fd >= 0; }
    const std::string& Folder() const { return m_folder; }
    const std::string& LockFile() const { return m_lockFile; }
    // After HeldElsewhere: "<program> (process <pid>)" as the holder wrote it, or "another
    // program" when the file says nothing readable.
    const std::string& Holder() const { return m_holder; }

    // The lock file used for a folder when its parent can hold it.
    static std::string LockFileBeside(const std::string& backupFolder);
    // A folder path in one spelling: absolute, without "." / ".." parts or trailing "/",
    // symbolic links of the existing part resolved.
    static std::string Canonical(const std::string& folder);

private:
    int OpenLockFile(const std::string& path);

    int m_fd = -1;
    std::string m_folder;
    std::string m_lockFile;
    std::string m_holder;
};
