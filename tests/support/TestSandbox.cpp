#include "TestSandbox.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Platform.h"

void SandboxTest::SetUp()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp && *tmp) ? tmp : "/tmp";
    // Always the real platform: a test may install a fault wrapper later on.
    sandbox_ = hl::PosixPlatform().MakeTempDirectory(base, "hl-test-");
    ASSERT_FALSE(sandbox_.empty()) << "cannot create a sandbox under " << base;
}

void SandboxTest::TearDown()
{
    if (sandbox_.empty())
        return;
    std::error_code ec;
    // Make everything removable again (a test may have made parts read-only).
    for (auto it = std::filesystem::recursive_directory_iterator(sandbox_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(sandbox_, ec);
    sandbox_.clear();
}

std::string SandboxTest::SandboxPath(const std::string& relative) const
{
    return hl::JoinPath(sandbox_, relative);
}

std::string SandboxTest::ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void SandboxTest::WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}
