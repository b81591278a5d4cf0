// The program's data root and its nine fixed sub-directories, created on
// first use; also the computer name.
#pragma once

#include <string>
#include <vector>

#include "OS_CLockable.h"

class CClientInfra {
public:
    enum : int {
        SUBDIR_BLOBS_CALENDAR = 0,
        SUBDIR_BLOBS_CONTACTS = 1,
        SUBDIR_BLOBS_FAT = 2,
        SUBDIR_BLOBS_MAIL = 3,
        SUBDIR_BLOBS_TEMP = 4,
        SUBDIR_CONFIG = 5,
        SUBDIR_DATABASE = 6,
        SUBDIR_LOG = 7,
        SUBDIR_TEMP = 8,
        SUBDIR_COUNT = 9,
    };

    // Creates the instance on the first call: with `root` when it is non-null
    // and non-empty, else with "$HOME/Quarnex". Later calls ignore the
    // argument. Throws CClientExc when a directory cannot be created.
    static CClientInfra* GetInstance(const char* root);
    static void Release();

    // Full path of sub-directory `index` (0..8); "" for any other index.
    std::string GetSubDir(int index) const;
    const std::string& GetRoot() const { return root_; }
    std::string GetComputerName();

    CClientInfra(const CClientInfra&) = delete;
    CClientInfra& operator=(const CClientInfra&) = delete;

private:
    explicit CClientInfra(const std::string& root);
    ~CClientInfra() = default;

    std::string root_;
    std::vector<std::string> subDirs_;
    std::string computerName_;
    OS_CLockable lock_;

    static CClientInfra* s_instance;
};
