// Directory helpers: the writability probe and emptying a directory.

#include "ClientUtil.h"

#include <filesystem>

#include "FaultPlatform.h"
#include "Platform.h"
#include "TestSandbox.h"

namespace {

class ClientUtilTest : public SandboxTest {};

TEST_F(ClientUtilTest, WritableDirectoryLeavesNoProbeBehind)
{
    EXPECT_TRUE(ClientUtil::IsDirWritable(Sandbox()));
    std::vector<std::string> names;
    ASSERT_TRUE(hl::Os().ListDirectory(Sandbox(), names));
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(ClientUtil::IsDirWritable(SandboxPath("missing")));
}

TEST_F(ClientUtilTest, NoProbeFileMeansNotWritable)
{
    hl::FaultPlatform fault;
    hl::ScopedPlatform use(fault);
    fault.FailAll(hl::kErrAccessDenied, hl::kOpTempName);
    EXPECT_FALSE(ClientUtil::IsDirWritable(Sandbox()));
}

TEST_F(ClientUtilTest, EmptiesRecursivelyAndKeepsTheDirectory)
{
    ASSERT_TRUE(hl::Os().CreateDirectory(SandboxPath("d")));
    ASSERT_TRUE(hl::Os().CreateDirectory(SandboxPath("d/sub")));
    ASSERT_TRUE(hl::Os().CreateDirectory(SandboxPath("d/sub/deeper")));
    WriteFile(SandboxPath("d/a"), "1");
    WriteFile(SandboxPath("d/sub/b"), "2");
    WriteFile(SandboxPath("d/sub/deeper/.hidden"), "3");
    ClientUtil::EmptyDirectory(SandboxPath("d"));
    std::vector<std::string> names;
    ASSERT_TRUE(hl::Os().ListDirectory(SandboxPath("d"), names));
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(hl::Os().DirectoryExists(SandboxPath("d")));
}

TEST_F(ClientUtilTest, StopsAtTheFirstEntryThatCannotBeRemoved)
{
    ASSERT_TRUE(hl::Os().CreateDirectory(SandboxPath("d")));
    for (const char* name : {"f1", "f2", "f3", "f4"})
        WriteFile(SandboxPath(std::string("d/") + name), "x");
    hl::FaultPlatform fault;
    {
        hl::ScopedPlatform use(fault);
        fault.FailNth(2, hl::kErrAccessDenied, hl::kOpUnlink);
        ClientUtil::EmptyDirectory(SandboxPath("d"));
    }
    EXPECT_EQ(fault.Calls(hl::kOpUnlink), 2u) << "no deletion is tried after the failing one";
    std::vector<std::string> names;
    ASSERT_TRUE(hl::Os().ListDirectory(SandboxPath("d"), names));
    EXPECT_EQ(names.size(), 3u);
}

// The Temp folder is emptied at every start: links in it, at any depth and to
// files or folders anywhere, go; what they point to stays.
TEST_F(ClientUtilTest, RemovesSymbolicLinksAndNeverWhatTheyPointTo)
{
    namespace fs = std::filesystem;
    fs::create_directories(SandboxPath("outside/sub"));
    WriteFile(SandboxPath("outside/keep1"), "one");
    WriteFile(SandboxPath("outside/sub/keep2"), "two");
    fs::create_directories(SandboxPath("d/sub/deeper"));
    WriteFile(SandboxPath("d/a"), "1");
    fs::create_directory_symlink(SandboxPath("outside"), SandboxPath("d/0-first-link"));
    fs::create_directory_symlink("../outside", SandboxPath("d/relative"));
    fs::create_directory_symlink(SandboxPath("outside"), SandboxPath("d/sub/deeper/link"));
    fs::create_directory_symlink(SandboxPath("outside/sub"), SandboxPath("d/sub/z-link"));
    fs::create_symlink(SandboxPath("outside/keep1"), SandboxPath("d/sub/file-link"));
    fs::create_symlink(SandboxPath("missing"), SandboxPath("d/dangling"));

    ClientUtil::EmptyDirectory(SandboxPath("d"));

    EXPECT_TRUE(fs::is_directory(fs::symlink_status(SandboxPath("d"))));
    EXPECT_TRUE(fs::is_empty(SandboxPath("d")));
    EXPECT_EQ(ReadFile(SandboxPath("outside/keep1")), "one");
    EXPECT_EQ(ReadFile(SandboxPath("outside/sub/keep2")), "two");

    // A folder that is itself a link is not emptied through it.
    fs::create_directory_symlink(SandboxPath("outside"), SandboxPath("temp-link"));
    ClientUtil::EmptyDirectory(SandboxPath("temp-link"));
    EXPECT_TRUE(fs::is_symlink(SandboxPath("temp-link")));
    EXPECT_EQ(ReadFile(SandboxPath("outside/keep1")), "one");
    EXPECT_EQ(ReadFile(SandboxPath("outside/sub/keep2")), "two");
}

} // namespace
