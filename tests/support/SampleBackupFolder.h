// The sample backup folder kept with the tests (two servers, three backups), and copies of it
// for tests that change what they read.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// Not found through __FILE__: ccache with a base folder makes that relative to the build
// folder, and ctest runs each test elsewhere. Targets that use it define HARBORLOCK_FIXTURES.
inline std::string SampleBackupFolder()
{
    return std::string(HARBORLOCK_FIXTURES) + "/backup-folder";
}

inline void CopySampleBackupFolder(const std::string& target)
{
    std::filesystem::copy(SampleBackupFolder(), target, std::filesystem::copy_options::recursive);
}

} // namespace testsupport
